// The tool's check on a mask of 100,000 regions (about 4.5 MB), beside the tool's list of the
// same mask's marker elements (tags), which reads it through the same scanner: each runs as the
// tool does, one process a run. The goal: 100,000 regions checked in well under a second,
// within a small multiple of tags.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

#ifdef ZRTMASK_TOOL_PATH

// A mask of count closed regions, each in a paragraph of its own, from a fixed pattern.
std::string RegionsMask(std::int64_t count) {
  std::string mask =
      "<html>\n<head><ZRTViewName><title>Many</title></ZRTViewName></head>\n<body>\n";
  for (std::int64_t i = 0; i < count; ++i) {
    const std::string name = "ZRTPart" + std::to_string(i);
    mask += "<p class=\"row\">Item " + std::to_string(i) + ": <" + name + ">old text</" + name +
            "></p>\n";
  }
  return mask + "<QLXSTART>\n</body>\n</html>\n";
}

// Writes the mask for count regions into the temporary directory once; returns its path.
std::string MaskFile(std::int64_t count) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("zrtmask_check_bench_" + std::to_string(count) + ".html"))
                               .string();
  if (!std::filesystem::exists(path)) std::ofstream(path, std::ios::binary) << RegionsMask(count);
  return path;
}

// Runs the tool with args, its output to /dev/null. Returns its exit status, -1 on a failure.
int RunTool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = ZRTMASK_TOOL_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned =
      ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void BM_CheckRegions(benchmark::State& state) {
  const std::string mask = MaskFile(state.range(0));
  for (auto _ : state) {
    if (RunTool({"check", mask}) != 0) state.SkipWithError("check failed");
  }
}
BENCHMARK(BM_CheckRegions)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CheckRegionsForRewrite(benchmark::State& state) {
  const std::string mask = MaskFile(state.range(0));
  for (auto _ : state) {
    if (RunTool({"check", "--for", "rewrite", mask}) != 0) state.SkipWithError("check failed");
  }
}
BENCHMARK(BM_CheckRegionsForRewrite)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The baseline: the tool lists the mask's marker elements, one scan of the same file for its
// element names.
void BM_ToolTagsBaseline(benchmark::State& state) {
  const std::string mask = MaskFile(state.range(0));
  for (auto _ : state) {
    if (RunTool({"tags", mask}) != 0) state.SkipWithError("tags failed");
  }
}
BENCHMARK(BM_ToolTagsBaseline)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

#endif  // ZRTMASK_TOOL_PATH

}  // namespace

// The recover subcommand: finishes the copy backs that a crash or a failed write cut, from the
// records in the temporary directory, and lists what it finished.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "template/tool_entry.h"
#include "tools/tool.h"
#include "zrtmask_result.h"

namespace zrtmask::cli {
namespace {

struct RecoverOptions {
  std::string temp_dir;
  std::vector<std::string> templates;
};

// Prints "finished TEMPLATE (N bytes)" for each copy back finished; a record left alone, or a
// copy that failed again, is reported on stderr. Returns 0; 65 when a record was left alone;
// 15 when a copy failed again.
int RunRecover(const RecoverOptions& options) {
  std::string directory = options.temp_dir.empty() ? TempDirectory() : options.temp_dir;
  if (directory.back() != '/') directory += '/';
  int status = kOk;
  for (const tool_internal::Recovered& record :
       tool_internal::Recover(directory, options.templates)) {
    const std::string where =
        !record.template_path.empty() ? record.template_path : record.record_path;
    switch (record.outcome) {
      case 1:
        std::printf("finished %s (%llu bytes)\n", where.c_str(), record.length);
        break;
      case 2:
        PrintError(where, "copy back left alone: " + record.problem + " (record " +
                              record.record_path + ")");
        if (status == kOk) status = kExitDataError;
        break;
      case 3:
        PrintError(where, "copy back not finished: " + record.problem + " (record " +
                              record.record_path + " kept for the next try)");
        status = kOpenFailed;
        break;
      default:
        break;
    }
  }
  const int output = FinishOutput();
  return output != kOk ? output : status;
}

}  // namespace

Subcommand RecoverSubcommand() {
  return {"recover", "Finish the copy backs that a crash or a failed write cut, and list them",
          [](CLI::App& app) {
            auto options = std::make_shared<RecoverOptions>();
            app.add_option("--temp-dir", options->temp_dir,
                           "Look for records in DIR instead of c:/temp/ (or ZRTMASK_TEMP_DIR)")
                ->type_name("DIR");
            app.add_option("TEMPLATE", options->templates,
                           "Templates to finish (default: every record in the directory)")
                ->type_name("");
            app.footer(
                "A rewrite records each copy back in the temporary directory before it writes "
                "over the template; the next rewrite or query of the template finishes one that "
                "was cut. This does so now. See zrtmask(1), CRASHES AND RECOVERY.");
            return std::function<int()>([options] { return RunRecover(*options); });
          }};
}

}  // namespace zrtmask::cli

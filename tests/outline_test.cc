// The outline's processing markers against the marker setters' own tokenizer, over random marker
// soup; and the outline of the sample masks as the tool prints it (tests/data/outline/*.json).
#include "template/outline.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ZRTHtmlFile.h"
#include "testing/test_support.h"
#include "zrtmask_outline.h"
#include "zrtmask_result.h"

#ifdef ZRTMASK_TOOL_PATH
#include <nlohmann/json.hpp>
#endif

// Drives the template object's marker tokenizer over a mask held in memory.
class ZRTHtmlFileTestPeer {
 public:
  // The offset just after the first marker of kind, as the marker setters find it (their table
  // of states over the tokenizer's tokens); npos when there is none.
  static std::size_t InsertOffset(const std::string& mask, ZRTHtmlFile::Tokens kind) {
    static constexpr int kTable[10][3] = {{1, 1, 1}, {0, 1, 2}, {0, 0, 3}, {0, 1, 2}, {0, 2, 0},
                                          {0, 0, 0}, {0, 2, 0}, {0, 2, 0}, {0, 2, 0}, {0, 2, 0}};
    std::istringstream in(mask);
    ZRTHtmlFile file;
    file._inStream = &in;
    file._tokenKind = kind;
    int state = 0;
    while (in.good()) {
      state = kTable[file.getNextToken()][state];
      if (state == 3) return static_cast<std::size_t>(in.tellg());
    }
    return std::string::npos;
  }
};

namespace zrtmask {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class OutlineTest : public testing::ScratchDirTest {};

struct Kind {
  ProcessingMarker marker;
  ZRTHtmlFile::Tokens token;
};
constexpr Kind kKinds[] = {{ProcessingMarker::kStart, ZRTHtmlFile::TOKEN_START},
                           {ProcessingMarker::kAnnotations, ZRTHtmlFile::TOKEN_ANNOT},
                           {ProcessingMarker::kUrl, ZRTHtmlFile::TOKEN_URL},
                           {ProcessingMarker::kDbAccess, ZRTHtmlFile::TOKEN_DBACCESS}};

std::size_t OutlineOffset(const std::string& mask, ProcessingMarker kind) {
  OutlineMarker marker;
  return FindProcessingMarker(mask, kind, &marker) ? marker.insert_at : std::string::npos;
}

// The faults found by hand: a "<" that ends a keyword's "QLX" cut short is a "<" of its own.
TEST_F(OutlineTest, MarkerAfterAPartialKeywordIsFound) {
  const struct {
    const char* mask;
    ProcessingMarker kind;
    std::size_t insert_at;
  } kCases[] = {
      {"Q<QLXSTART>", ProcessingMarker::kStart, 11},
      {"q<QLXURL>", ProcessingMarker::kUrl, 9},
      {"q<QLXANNOT>", ProcessingMarker::kAnnotations, 11},
      {"Q<QLXSTART><QLXSTART>", ProcessingMarker::kStart, 11},
      {"QL<qlxdbaccess \r\n>", ProcessingMarker::kDbAccess, 18},
      {"QLXS<QLXSTART>", ProcessingMarker::kStart, std::string::npos},  // "<" ends the suffix
      {"q<QL qlxurl >", ProcessingMarker::kUrl, 13},  // "QL " reads as a space
  };
  for (const auto& test : kCases) {
    SCOPED_TRACE(test.mask);
    EXPECT_EQ(OutlineOffset(test.mask, test.kind), test.insert_at);
  }
}

// Every kind in random marker soup (with CR LF and lone CR) is found exactly where the setters'
// tokenizer finds it; masks without CR are also checked through the set-start rewrite itself.
TEST_F(OutlineTest, MarkerFinderAgreesWithTheSettersTokenizer) {
  static const std::string kAlphabet = "<> \n\r qQlLxXsStTaArRuUnNoObBdDcCeEiI";
  static const std::vector<std::string> kWords = {"QLXSTART",    "qlxurl",     "QLXANNOT",
                                                  "QlxDbAccess", "<QLXSTART>", "QLX",
                                                  "\r\n",        "<qlx",       "START>",
                                                  "<QL ",        "q\n"};
  std::mt19937 random(20);
  int file_checks = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string mask;
    for (int piece = static_cast<int>(random() % 24); piece > 0; --piece) {
      if (random() % 4 == 0) {
        mask += kWords[random() % kWords.size()];
      } else {
        mask += kAlphabet[random() % kAlphabet.size()];
      }
    }
    for (const Kind& kind : kKinds) {
      const std::size_t expected = ZRTHtmlFileTestPeer::InsertOffset(mask, kind.token);
      ASSERT_EQ(OutlineOffset(mask, kind.marker), expected) << ::testing::PrintToString(mask);
    }
    if (file_checks < 300 && mask.find('\r') == std::string::npos) {
      ++file_checks;
      const std::size_t at = OutlineOffset(mask, ProcessingMarker::kStart);
      WriteFile("t.html", mask);
      ASSERT_EQ(ZRTHtmlFile("t.html").SetZRTStart("V"), kOk);
      ASSERT_EQ(ReadFile("t.html"),
                at == std::string::npos ? mask : mask.substr(0, at) + "\nV\n" + mask.substr(at))
          << ::testing::PrintToString(mask);
    }
  }
}

#ifdef ZRTMASK_TOOL_PATH
// The outline of each sample mask, as `zrtmask outline --json` prints it, is its golden JSON in
// tests/data/outline/.
TEST_F(OutlineTest, ToolPrintsTheGoldenOutlineOfEachSample) {
  for (const std::string path :
       {ZRTMASK_EXAMPLES_DIR "/report.html", ZRTMASK_TEST_DATA_DIR "/tool/t.html",
        ZRTMASK_TEST_DATA_DIR "/tool/crlf.html", ZRTMASK_TEST_DATA_DIR "/tool/check/render.html",
        ZRTMASK_FUZZ_CORPUS_DIR "/rewrite_fuzzer/marker_near_misses.html"}) {
    const std::string name = std::filesystem::path(path).stem().string();
    SCOPED_TRACE(name);
    WriteFile(name + ".html", ReadFile(path));
    const testing::ProgramRun run =
        testing::RunProgram(ZRTMASK_TOOL_PATH, {"outline", "--json", name + ".html"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string golden = ReadFile(ZRTMASK_TEST_DATA_DIR "/outline/" + name + ".json");
    EXPECT_EQ(nlohmann::json::parse(run.out).dump(2), nlohmann::json::parse(golden).dump(2));
  }
}
#endif

}  // namespace
}  // namespace zrtmask

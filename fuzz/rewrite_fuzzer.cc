// Rewrite harness: every query and one rewrite on an arbitrary template. A rewrite either
// succeeds and leaves no temporary file, or fails with the template byte for byte as it was.
// On a template without CR, the same rewrite of its CR LF form must give the CR LF form of the
// result.
//
// Input: the first byte chooses the rewrite; then come its arguments, each ended by '|', and
// the rest is the template.
//   0 view name (name)        1 tag content (marker, text)   2 dump (marker, text)
//   3 image (source, width, height)   4-7 start, annotations, URL, database access (value)
//   8 mask copy (mask bytes)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ZRTHtmlFile.h"
#include "ZRTUnicodeString.h"
#include "fuzz/fuzz_support.h"

namespace {

using zrtmask::fuzz::ReadBytes;
using zrtmask::fuzz::Require;
using zrtmask::fuzz::WriteBytes;

constexpr int kOk = 0;
constexpr int kRegionNotClosed = 10;

const char* const kTemplatePath = "t.html";
const char* const kMaskPath = "m.html";

enum class Rewrite {
  kViewName,
  kTagContent,
  kDump,
  kImage,
  kStart,
  kAnnot,
  kUrl,
  kDbAccess,
  kMask
};
constexpr int kRewriteCount = 9;

int ArgumentCount(Rewrite rewrite) {
  switch (rewrite) {
    case Rewrite::kTagContent:
    case Rewrite::kDump:
      return 2;
    case Rewrite::kImage:
      return 3;
    default:
      return 1;
  }
}

bool IsItemRewrite(Rewrite rewrite) {
  return rewrite == Rewrite::kViewName || rewrite == Rewrite::kTagContent ||
         rewrite == Rewrite::kDump || rewrite == Rewrite::kImage;
}

// A number for the image's width or height, from the argument's leading decimal digits.
int ParseNumber(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10) % 1000000000L);
}

void RunQueries(const std::vector<std::string>& arguments) {
  const std::string before = ReadBytes(kTemplatePath);
  ZRTHtmlFile file(kTemplatePath);
  ZRTUnicodeString answer;
  ZRTListValZRTUnicodeString tags;
  Require(file.GetZRTViewName(&answer) == kOk, "GetZRTViewName failed on a readable template");
  Require(file.GetZRTTagContent(arguments[0].c_str(), &answer) == kOk,
          "GetZRTTagContent failed on a readable template");
  Require(file.GetZRTPath(&answer) == kOk, "GetZRTPath failed on a readable template");
  Require(file.GetAllZRTTag(&tags) == kOk, "GetAllZRTTag failed on a readable template");
  Require(ReadBytes(kTemplatePath) == before, "a query changed the template");
}

int RunRewrite(Rewrite rewrite, const std::vector<std::string>& arguments) {
  ZRTHtmlFile file(kTemplatePath);
  const char* first = arguments[0].c_str();
  switch (rewrite) {
    case Rewrite::kViewName:
      return file.SetZRTViewName(first);
    case Rewrite::kTagContent:
      return file.SetZRTTagContent(first, arguments[1].c_str());
    case Rewrite::kDump:
      return file.dumpZRTTagContent(first, arguments[1].c_str());
    case Rewrite::kImage:
      return file.SetZRTImageName(first, ParseNumber(arguments[1]), ParseNumber(arguments[2]));
    case Rewrite::kStart:
      return file.SetZRTStart(first);
    case Rewrite::kAnnot:
      return file.SetZRTAnnotations(first);
    case Rewrite::kUrl:
      return file.SetZRTURL(first);
    case Rewrite::kDbAccess:
      return file.SetZRTDBAccess(first);
    case Rewrite::kMask:
      WriteBytes(kMaskPath, arguments[0]);
      return file.CopyMaskFile(kMaskPath);
  }
  return -1;
}

struct Outcome {
  int code;
  std::string text;  // the template afterwards
};

// Writes the template, runs the queries and the rewrite, and checks what every rewrite owes.
Outcome RunOnce(Rewrite rewrite, const std::vector<std::string>& arguments,
                const std::string& template_bytes) {
  WriteBytes(kTemplatePath, template_bytes);
  RunQueries(arguments);
  Outcome outcome;
  outcome.code = RunRewrite(rewrite, arguments);
  outcome.text = ReadBytes(kTemplatePath);
  const bool expected_code =
      outcome.code == kOk || (IsItemRewrite(rewrite) && outcome.code == kRegionNotClosed);
  Require(expected_code, "a rewrite of a readable template failed with an unexpected code");
  if (outcome.code != kOk) {
    Require(outcome.text == template_bytes, "a failed rewrite changed the template");
  }
  Require(zrtmask::fuzz::CountTempFiles() == 0, "a rewrite left a temporary file");
  if (rewrite == Rewrite::kMask) {
    Require(outcome.text == arguments[0], "the template is not the mask after a mask copy");
  }
  if (outcome.code == kOk) RunQueries(arguments);
  zrtmask::fuzz::EmptyTempDirectory();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zrtmask::fuzz::ScratchDirectory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const zrtmask::fuzz::InScratchDirectory in_scratch;
  const Rewrite rewrite = static_cast<Rewrite>(data[0] % kRewriteCount);
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> arguments;
  for (int index = 0; index < ArgumentCount(rewrite); ++index) {
    const std::size_t end = rest.find('|');
    if (end == std::string_view::npos) return 0;
    arguments.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  const std::string template_bytes(rest);
  const Outcome plain = RunOnce(rewrite, arguments, template_bytes);

  // The CR LF form: the scanner and the tokenizer read CR LF as LF, and the copy back writes
  // every line feed as CR LF again. A CR of the template or the arguments would blur this.
  if (template_bytes.find('\n') == std::string::npos || rewrite == Rewrite::kMask) return 0;
  if (template_bytes.find('\r') != std::string::npos) return 0;
  for (const std::string& argument : arguments) {
    if (argument.find('\r') != std::string::npos) return 0;
  }
  const Outcome crlf = RunOnce(rewrite, arguments, zrtmask::fuzz::WithCrLf(template_bytes));
  Require(crlf.code == plain.code, "the CR LF form of a template gave another code");
  Require(crlf.text == zrtmask::fuzz::WithCrLf(plain.text),
          "the CR LF form of a template did not give the CR LF form of the result");
  return 0;
}

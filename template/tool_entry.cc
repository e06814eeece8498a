// The tool's entry points into the library (template/tool_entry.h).
#include "template/tool_entry.h"

#include "base/failures.h"
#include "template/pipeline.h"
#include "template/recovery.h"

namespace zrtmask::tool_internal {

int RewriteToText(const std::function<int()>& rewrite, std::string* new_text) {
  TextOnlyScope scope(new_text);
  return rewrite();
}

Detail LastDetail() {
  const FailureDetail detail = LastFailureDetail();
  Detail answer;
  switch (detail.kind) {
    case FailureDetail::Kind::kNone:
      answer.kind = kNoDetail;
      break;
    case FailureDetail::Kind::kLockTimeout:
      answer.kind = kLockTimeout;
      break;
    case FailureDetail::Kind::kItemTooLong:
      answer.kind = kItemTooLong;
      break;
    case FailureDetail::Kind::kTempDirOpenToOthers:
      answer.kind = kTempDirOpenToOthers;
      break;
  }
  answer.line = detail.line;
  answer.path = detail.path;
  return answer;
}

std::vector<Recovered> Recover(const std::string& directory,
                               const std::vector<std::string>& templates) {
  std::vector<Recovered> answers;
  try {
    for (const RecoveryResult& result : RecoverTemplates(directory, templates)) {
      Recovered answer;
      switch (result.outcome) {
        case RecoveryResult::Outcome::kNone:
          answer.outcome = 0;
          break;
        case RecoveryResult::Outcome::kFinished:
          answer.outcome = 1;
          break;
        case RecoveryResult::Outcome::kLeftAlone:
          answer.outcome = 2;
          break;
        case RecoveryResult::Outcome::kFailed:
          answer.outcome = 3;
          break;
      }
      answer.template_path = result.template_path;
      answer.record_path = result.record_path;
      answer.problem = result.problem;
      answer.length = result.length;
      answers.push_back(answer);
    }
  } catch (...) {
    Recovered failed;
    failed.outcome = 3;
    failed.problem = "out of memory";
    answers.push_back(failed);
  }
  return answers;
}

}  // namespace zrtmask::tool_internal

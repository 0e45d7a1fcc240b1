#include "platform/result.h"

#include "platform/process.h"

CResult CResult::Failure(CResultCode code, std::string context, std::string detail) {
  // A failure is never ok, whatever the caller passed.
  if (code == CResultCode::kOk) code = CResultCode::kFailed;
  return CResult(code, std::move(context), std::move(detail));
}

CResult CResult::FromSystemError(std::string context, int error) {
  return Failure(CodeOfSystemError(error), std::move(context), ErrorMessage(error));
}

std::string CResult::Message() const {
  if (strContext.empty()) return strDetail;
  if (strDetail.empty()) return strContext;
  return strContext + ": " + strDetail;
}

std::string CResult::ReasonLine() const { return ok() ? std::string() : "  " + Message() + "\n"; }

CResult CResult::WithContext(const std::string& outer) const {
  if (ok()) return *this;
  return CResult(code, strContext.empty() ? outer : outer + ": " + strContext, strDetail);
}

#pragma once
// The result codes of the hardware service and the failure value its parts pass up.
//
// Codes are FACILITY_ITF codes of our own, for which no system has a text, so the
// client always shows the description that comes with them:
//   0x80040200 | c   SQLite reported primary result code c (1..28): the
//                    description is SQLite's own message;
//   0x80040400       the ODBC driver (or its driver manager) reported a failure:
//                    the description is its diagnostic, "<message> (SQLSTATE xxxxx)";
//   0x80040401       the same, for a connection that could not be made or was lost;
//   0x80040301..     failures of the service itself (below).

#include <cstdint>
#include <string>

#include "service/module_abi.h"
#include "service/result.h"
#include "service/utf.h"

namespace velmora::server {

inline constexpr HRESULT kNoRowMatched = MakeResult(0x80040301);
inline constexpr HRESULT kAuditLogFailed = MakeResult(0x80040302);
inline constexpr HRESULT kBadConfiguration = MakeResult(0x80040303);
inline constexpr HRESULT kRecordsetClosed = MakeResult(0x80040304);
inline constexpr HRESULT kNoCurrentRow = MakeResult(0x80040305);
inline constexpr HRESULT kBadStatementText = MakeResult(0x80040306);
inline constexpr HRESULT kOdbcFailed = MakeResult(0x80040400);
inline constexpr HRESULT kOdbcConnectionFailed = MakeResult(0x80040401);

// The code for a SQLite result code (primary or extended) that is an error.
constexpr HRESULT SqliteResult(int rc) { return MakeResult(0x80040200u | (static_cast<std::uint32_t>(rc) & 0xFFu)); }

// The outcome of an operation: ok, or a failure with its code and the description
// the user reads (UTF-8). A failure also says what is known of its effect, so the
// caller can decide whether to run the call again or what to tell the user.
struct [[nodiscard]] Status {
  HRESULT Code = S_OK;
  std::string Description;
  // The connection was found lost before anything of the call could take effect:
  // running it again on a new connection is safe.
  bool ConnectionLost = false;
  // The call ended while its commit was under way: the change may or may not be
  // stored.
  bool MayBeStored = false;

  static Status Ok() { return {}; }
  bool IsOk() const { return !Failed(Code); }
  explicit operator bool() const { return IsOk(); }
};

// Leaves status's description in the client's error information and returns its
// code; every failing call of ours ends here.
inline HRESULT Report(const VelmoraHostApi& host, const Status& status) {
  const std::u16string description = Utf8ToUtf16(status.Description);
  host.SetErrorInfo(description.data(), description.size());
  return status.Code;
}

}  // namespace velmora::server

// The hardware service on SQLite: the in-process module libvelmora-hardware-sqlite.so,
// registered for CLSID_Hardware {72D2BD55-66FA-11D4-A097-0050DAC21168}.
//
// Configuration
//   The database file, first found of:
//     VELMORA_DATABASE=<file>                         (environment)
//     database = <file>   in $XDG_CONFIG_HOME/velmora/hardware-service.conf
//                         (default ~/.config/velmora/hardware-service.conf)
//     database = <file>   in <dir>/velmora/hardware-service.conf for each <dir>
//                         of $XDG_CONFIG_DIRS (default /etc/xdg)
//     $XDG_DATA_HOME/velmora/controllers.db           (default ~/.local/share/...)
//   The file must exist; it is never created. A file the user may only read is
//   opened read-only: the list loads, write-backs fail ("attempt to write a
//   readonly database").
//   The optional audit log, off unless set: VELMORA_AUDIT_LOG=<file>, else
//   audit_log = <file> in the configuration files as above.
//   Configuration files hold "key = value" lines and "#" comment lines; a relative
//   file name is taken from the configuration file's directory. An unknown key or a
//   malformed line makes every operation fail with a description naming the line.
//   The files are read once per process; the environment at every object creation.
//   VELMORA_BUSY_TIMEOUT_MS (default 5000) is how long a statement waits for a
//   lock held by another connection before failing with "database is locked".
//
// Journal
//   WAL with synchronous=FULL: durable first. Every commit syncs the log, so a
//   write-back is on disk when ExecuteCommand returns; WAL keeps that to one fsync
//   per commit and lets other operators go on reading while one writes.
//
// Audit log
//   One line per text received, by OpenQuery or ExecuteCommand:
//     <UTC time, ISO 8601 with ms> TAB <user> TAB <operation> TAB <ok | failed: description> TAB <text>
//   Description and text are UTF-8 with CR, LF, tab and backslash written \r \n \t \\.
//   Lines are written whole under flock(), so processes may share the file. When
//   the log is set but cannot be written, the operation fails and the database is
//   left as it was: an audit log that silently misses entries is worse than none.
//   A command's line is written and synced before its transaction commits.
//
// Commands
//   ExecuteCommand runs all statements of its text as one transaction, so a text
//   is carried out whole or not at all; it may not hold BEGIN, COMMIT, END or
//   ROLLBACK. An UPDATE that changes no row fails: the row was removed or changed
//   by someone else, and the client must not believe its change was stored.

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>

#include "server/audit_log.h"
#include "server/connection.h"
#include "server/failure.h"
#include "server/service_settings.h"
#include "server/sqlite_recordset.h"
#include "service/hardware_service.h"
#include "service/module_abi.h"

namespace velmora::server {
namespace {

constexpr std::string_view kOpenQuery = "OpenQuery";
constexpr std::string_view kExecuteCommand = "ExecuteCommand";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The first keyword of a statement, in upper case, past blanks and comments.
std::string FirstKeyword(const char* sql) {
  std::string_view s = sql ? sql : "";
  for (;;) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    if (s.starts_with("--")) {
      const auto end = s.find('\n');
      s = end == std::string_view::npos ? std::string_view() : s.substr(end + 1);
    } else if (s.starts_with("/*")) {
      const auto end = s.find("*/", 2);
      s = end == std::string_view::npos ? std::string_view() : s.substr(end + 2);
    } else {
      break;
    }
  }
  std::string word;
  for (const char c : s) {
    if (!IsLetter(c)) break;
    word += static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
  }
  return word;
}

// One service object; it lives for one call, usually, and takes the settings in
// force when it was made.
class HardwareService final : public ComObject<IHardwareService> {
 public:
  HardwareService(const VelmoraHostApi& host, ServiceSettings settings) : FHost(host), FSettings(std::move(settings)) {}

  HRESULT OpenQuery(std::u16string_view text, IUnknown** result) override;
  HRESULT ExecuteCommand(std::u16string_view text) override;

 private:
  ~HardwareService() override = default;

  HRESULT Fail(const Failure& failure) { return Report(FHost, failure); }
  HRESULT NullPointer() { return Fail({E_POINTER, "Invalid pointer: a required argument is null"}); }
  // What every operation needs before it touches the database: usable settings and,
  // when one is set, an open audit log. False, with failure set, when either is missing.
  bool Start(std::optional<AuditLog>& audit, Failure& failure);
  // Runs every statement of text inside the open transaction.
  bool RunStatements(Connection& connection, std::u16string_view text, Failure& failure);

  const VelmoraHostApi& FHost;
  const ServiceSettings FSettings;
};

bool HardwareService::Start(std::optional<AuditLog>& audit, Failure& failure) {
  if (!FSettings.Problem.empty()) {
    failure = {kBadConfiguration, "the hardware service is not configured correctly: " + FSettings.Problem};
    return false;
  }
  if (!FSettings.AuditLog.empty()) {
    audit = AuditLog::Open(FSettings.AuditLog, failure);
    if (!audit) {
      failure.Description += "; nothing was read or changed";
      return false;
    }
  }
  return true;
}

HRESULT HardwareService::OpenQuery(std::u16string_view text, IUnknown** result) {
  if (result == nullptr) return NullPointer();
  *result = nullptr;
  if (text.data() == nullptr) return NullPointer();

  Failure failure;
  std::optional<AuditLog> audit;
  if (!Start(audit, failure)) return Fail(failure);

  ComPtr<IRecordset> recordset;
  if (std::shared_ptr<Connection> connection =
          Connection::Acquire(FSettings.Database, FSettings.BusyTimeoutMs, failure)) {
    recordset = SqliteRecordset::Open(std::move(connection), FHost, text, failure);
  }
  if (audit) {
    Failure auditFailure;
    // A query that failed reports its own failure; one that worked is refused when
    // its line cannot be written.
    if (!audit->Append(kOpenQuery, recordset ? nullptr : &failure, text, false, auditFailure) && recordset) {
      recordset->Close();
      return Fail(auditFailure);
    }
  }
  if (!recordset) return Fail(failure);
  return recordset->QueryInterface(IUnknown::IID, reinterpret_cast<void**>(result));
}

HRESULT HardwareService::ExecuteCommand(std::u16string_view text) {
  if (text.data() == nullptr) return NullPointer();

  Failure failure;
  std::optional<AuditLog> audit;
  if (!Start(audit, failure)) return Fail(failure);
  const auto failed = [&](const Failure& outcome) {
    if (audit) {
      // The operation's own failure is what the user must read; a log that also
      // fails now has already been opened and written to successfully before.
      Failure ignored;
      audit->Append(kExecuteCommand, &outcome, text, false, ignored);
    }
    return Fail(outcome);
  };

  const std::shared_ptr<Connection> connection =
      Connection::Acquire(FSettings.Database, FSettings.BusyTimeoutMs, failure);
  if (!connection) return failed(failure);

  std::lock_guard lock(connection->Mutex());
  sqlite3* db = connection->Handle();
  const auto rollBack = [db] {
    if (sqlite3_get_autocommit(db) == 0) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  };
  // IMMEDIATE takes the write lock at once (waiting for it as long as the busy
  // timeout allows), so no statement of the text can meet a lock half-way.
  if (const int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    failure = connection->SqliteFailure(rc);
    rollBack();
    return failed(failure);
  }
  if (!RunStatements(*connection, text, failure)) {
    rollBack();
    return failed(failure);
  }
  // The line goes to disk before the commit: a change that is stored always has
  // its line, and a line that cannot be written undoes the change.
  if (audit) {
    Failure auditFailure;
    if (!audit->Append(kExecuteCommand, nullptr, text, true, auditFailure)) {
      rollBack();
      auditFailure.Description += "; the change was not stored";
      return Fail(auditFailure);
    }
  }
  if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
    failure = connection->SqliteFailure(rc);
    rollBack();
    // The log already says ok; a second line for the same text corrects it.
    return failed(failure);
  }
  return S_OK;
}

bool HardwareService::RunStatements(Connection& connection, std::u16string_view text, Failure& failure) {
  if (text.find(u'\0') != std::u16string_view::npos) {
    failure = {kBadStatementText, kNulInText};
    return false;
  }
  sqlite3* db = connection.Handle();
  const char16_t* next = text.data();
  const char16_t* const end = text.data() + text.size();
  int statements = 0;
  while (next < end) {
    sqlite3_stmt* statement = nullptr;
    const void* tail = nullptr;
    const int bytes = static_cast<int>((end - next) * sizeof(char16_t));
    if (const int rc = sqlite3_prepare16_v2(db, next, bytes, &statement, &tail); rc != SQLITE_OK) {
      failure = connection.SqliteFailure(rc);
      return false;
    }
    const char16_t* const after = static_cast<const char16_t*>(tail);
    if (statement == nullptr) {  // only blanks or comments were left
      if (after <= next) break;
      next = after;
      continue;
    }
    next = after;
    const std::string keyword = FirstKeyword(sqlite3_sql(statement));
    if (keyword == "BEGIN" || keyword == "COMMIT" || keyword == "END" || keyword == "ROLLBACK") {
      sqlite3_finalize(statement);
      failure = {kBadStatementText,
                 "a command runs as one transaction of its own and may not hold BEGIN, COMMIT, END or ROLLBACK"};
      return false;
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
      failure = connection.SqliteFailure(rc);
      sqlite3_finalize(statement);
      return false;
    }
    sqlite3_finalize(statement);
    ++statements;
    // The client changes one controller at a time, addressed by its key; no row
    // changed means it is gone (or was renumbered), and saying "done" would leave
    // the operator believing a setting was stored that was not.
    if (keyword == "UPDATE" && sqlite3_changes(db) == 0) {
      failure = {kNoRowMatched, "No controller matched the update; it may have been removed by another operator"};
      return false;
    }
  }
  if (statements == 0) {
    failure = {kBadStatementText, "the command text holds no statement"};
    return false;
  }
  return true;
}

class HardwareFactory final : public ComObject<IClassFactory> {
 public:
  explicit HardwareFactory(const VelmoraHostApi& host) : FHost(host) {}

  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const ComPtr<IHardwareService> service =
        ComPtr<IHardwareService>::Attach(new HardwareService(FHost, CurrentSettings()));
    return service->QueryInterface(iid, object);
  }

 private:
  ~HardwareFactory() override = default;

  const VelmoraHostApi& FHost;
};

}  // namespace
}  // namespace velmora::server

VELMORA_MODULE_ENTRY {
  using namespace velmora;
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (host == nullptr || clsid == nullptr || iid == nullptr) return E_POINTER;
  // The host table outlives every object: the host never unloads its modules.
  if (host->Size < sizeof(VelmoraHostApi) || host->SetErrorInfo == nullptr) return E_INVALIDARG;
  if (*clsid != CLSID_Hardware) return CLASS_E_CLASSNOTAVAILABLE;
  const ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Attach(new server::HardwareFactory(*host));
  return factory->QueryInterface(*iid, object);
}

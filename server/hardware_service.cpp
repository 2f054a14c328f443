// The shipped hardware service: the in-process module libvelmora-hardware.so,
// registered for CLSID_Hardware {72D2BD55-66FA-11D4-A097-0050DAC21168}. Its
// database is an SQLite file (sqlite_backend.cpp) or, through ODBC, a database
// server (odbc_backend.cpp); the client sends the same texts to either.
//
// Configuration
//   The database, first found of:
//     VELMORA_DATABASE=<file> or VELMORA_ODBC=<connection string>  (environment;
//                         setting both is an error)
//     database = <file> or odbc = <connection string>
//                         in $XDG_CONFIG_HOME/velmora/hardware-service.conf
//                         (default ~/.config/velmora/hardware-service.conf)
//     database = <file> or odbc = <connection string>
//                         in <dir>/velmora/hardware-service.conf for each <dir>
//                         of $XDG_CONFIG_DIRS (default /etc/xdg)
//     $XDG_DATA_HOME/velmora/controllers.db           (default ~/.local/share/...)
//   An SQLite file must exist; it is never created. A file the user may only read
//   is opened read-only: the list loads, write-backs fail ("attempt to write a
//   readonly database"). A connection string is handed to the driver manager as
//   written (DSN=... or Driver={...};...), credentials included: they stay in the
//   service's configuration, never in the client.
//   The optional audit log, off unless set: VELMORA_AUDIT_LOG=<file>, else
//   audit_log = <file> in the configuration files as above.
//   Configuration files hold "key = value" lines and "#" comment lines; a relative
//   file name is taken from the configuration file's directory. An unknown key or a
//   malformed line makes every operation fail with a description naming the line.
//   The files are read once per process; the environment at every object creation.
//   VELMORA_BUSY_TIMEOUT_MS (default 5000) is how long a statement on an SQLite
//   file waits for a lock held by another connection before failing with
//   "database is locked".
//
// Journal (SQLite)
//   WAL with synchronous=FULL: durable first. Every commit syncs the log, so a
//   write-back is on disk when ExecuteCommand returns; WAL keeps that to one fsync
//   per commit and lets other operators go on reading while one writes.
//
// ODBC
//   [Bracketed] names of the client's texts are rewritten into the server's own
//   identifier quoting, as the driver reports it, before a text is prepared (see
//   sql_text.h). Rows are fetched in blocks. A connection found dead is opened
//   anew, and a call that met it is run again when nothing of it can have taken
//   effect. Failures carry the driver's diagnostic and SQLSTATE.
//
// Audit log
//   One line per text received (as received: before any rewriting), by OpenQuery
//   or ExecuteCommand:
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

#include <optional>
#include <string>
#include <string_view>

#include "server/audit_log.h"
#include "server/backend.h"
#include "server/failure.h"
#include "server/service_settings.h"
#include "service/hardware_service.h"
#include "service/module_abi.h"

namespace velmora::server {
namespace {

constexpr std::string_view kOpenQuery = "OpenQuery";
constexpr std::string_view kExecuteCommand = "ExecuteCommand";

// One service object; it lives for one call, usually, and takes the settings in
// force when it was made.
class HardwareService final : public ComObject<IHardwareService> {
 public:
  HardwareService(const VelmoraHostApi& host, ServiceSettings settings) : FHost(host), FSettings(std::move(settings)) {}

  HRESULT OpenQuery(std::u16string_view text, IUnknown** result) override;
  HRESULT ExecuteCommand(std::u16string_view text) override;

 private:
  ~HardwareService() override = default;

  HRESULT Fail(const Status& failure) { return Report(FHost, failure); }
  HRESULT NullPointer() { return Fail({E_POINTER, "Invalid pointer: a required argument is null"}); }
  // What every operation needs before it touches the database: usable settings and,
  // when one is set, an open audit log.
  Status Start(std::optional<AuditLog>& audit);

  const VelmoraHostApi& FHost;
  const ServiceSettings FSettings;
};

Status HardwareService::Start(std::optional<AuditLog>& audit) {
  if (!FSettings.Problem.empty()) {
    return {kBadConfiguration, "the hardware service is not configured correctly: " + FSettings.Problem};
  }
  if (!FSettings.AuditLog.empty()) {
    if (Status status = AuditLog::Open(FSettings.AuditLog, audit); !status) {
      status.Description += "; nothing was read or changed";
      return status;
    }
  }
  return Status::Ok();
}

HRESULT HardwareService::OpenQuery(std::u16string_view text, IUnknown** result) {
  if (result == nullptr) return NullPointer();
  *result = nullptr;
  if (text.data() == nullptr) return NullPointer();

  std::optional<AuditLog> audit;
  if (Status status = Start(audit); !status) return Fail(status);

  ComPtr<IRecordset> recordset;
  const Status outcome = Backend::For(FSettings)->OpenQuery(FHost, text, recordset);
  if (audit) {
    // A query that failed reports its own failure; one that worked is refused when
    // its line cannot be written.
    const Status written = audit->Append(kOpenQuery, outcome ? nullptr : &outcome, text, false);
    if (!written && outcome) {
      recordset->Close();
      return Fail(written);
    }
  }
  if (!outcome) return Fail(outcome);
  return recordset->QueryInterface(IUnknown::IID, reinterpret_cast<void**>(result));
}

HRESULT HardwareService::ExecuteCommand(std::u16string_view text) {
  if (text.data() == nullptr) return NullPointer();

  std::optional<AuditLog> audit;
  if (Status status = Start(audit); !status) return Fail(status);

  // The line goes to disk before the commit: a change that is stored always has
  // its line, and a line that cannot be written undoes the change.
  bool auditRefused = false;
  const auto writeLine = [&]() -> Status {
    if (!audit) return Status::Ok();
    Status written = audit->Append(kExecuteCommand, nullptr, text, true);
    if (!written) {
      auditRefused = true;
      written.Description += "; the change was not stored";
    }
    return written;
  };
  const Status outcome = Backend::For(FSettings)->ExecuteCommand(text, writeLine);
  if (outcome) return S_OK;
  // A failed commit after the line said ok gets a second line for the same text,
  // which corrects it; a log that refused its line gets none. The operation's own
  // failure is what the user must read; a log that also fails now has already
  // been opened and written to successfully before.
  if (audit && !auditRefused) (void)audit->Append(kExecuteCommand, &outcome, text, false);
  return Fail(outcome);
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

// The shipped hardware service: the in-process module libvelmora-hardware.so,
// registered for CLSID_Hardware {72D2BD55-66FA-11D4-A097-0050DAC21168}. Its
// database is an SQLite file (sqlite_backend.cpp) or, through ODBC, a database
// server (odbc_backend.cpp); the client sends the same texts to either.
//
// Its configuration, the audit log's format and what a text may do are described
// once, for sites, in hardware-service.conf(5)
// (packaging/man/hardware-service.conf.5.in); service_settings.cpp reads it.
//
// Every text is untrusted, whoever sends it: the backends hold texts to the rules
// of text_rules.h, and the SQLite connection fences SQLite in
// (sqlite_connection.h). No C++ exception leaves the module (Guarded, failure.h).
//
// The audit log names the process's effective user, or the peer a local server
// serves (from the socket's credentials, never the client's word).

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

  HRESULT OpenQuery(std::u16string_view text, IUnknown** result) override {
    return Guarded(FHost, [&] { return DoOpenQuery(text, result); });
  }
  HRESULT ExecuteCommand(std::u16string_view text) override {
    return Guarded(FHost, [&] { return DoExecuteCommand(text); });
  }

 private:
  ~HardwareService() override = default;

  HRESULT DoOpenQuery(std::u16string_view text, IUnknown** result);
  HRESULT DoExecuteCommand(std::u16string_view text);

  // A configuration file that was skipped may be why an operation failed.
  HRESULT Fail(const Status& failure) {
    if (FSettings.Skipped.empty()) return Report(FHost, failure);
    Status withReason = failure;
    withReason.Description += " (" + FSettings.Skipped + ")";
    return Report(FHost, withReason);
  }
  HRESULT NullPointer() { return Fail({E_POINTER, "Invalid pointer: a required argument is null"}); }
  // What every operation needs before it touches the database: usable settings and,
  // when one is set, an open audit log holding the line that text is started.
  Status Start(std::optional<AuditLog>& audit, std::string_view operation, std::u16string_view text);

  const VelmoraHostApi& FHost;
  const ServiceSettings FSettings;
};

Status HardwareService::Start(std::optional<AuditLog>& audit, std::string_view operation, std::u16string_view text) {
  if (!FSettings.Problem.empty()) {
    return {kBadConfiguration, "the hardware service is not configured correctly: " + FSettings.Problem};
  }
  if (!FSettings.AuditLog.empty()) {
    Status status = AuditLog::Open(FSettings.AuditLog, audit);
    // A local server names the peer it serves, as the socket reported it; every
    // line of the call, the first included, carries that name.
    if (status && VELMORA_HOST_HAS(&FHost, CallerName) && FHost.CallerName != nullptr) {
      if (const char* caller = FHost.CallerName(); caller != nullptr) audit->SetCaller(caller);
    }
    // Written before the text runs: a text that hangs, or whose process is
    // killed, still leaves its line.
    if (status) status = audit->Append(operation, &AuditLog::kStarted, text, false);
    if (!status) {
      status.Description += "; nothing was read or changed";
      return status;
    }
  }
  return Status::Ok();
}

HRESULT HardwareService::DoOpenQuery(std::u16string_view text, IUnknown** result) {
  if (result == nullptr) return NullPointer();
  *result = nullptr;
  if (text.data() == nullptr) return NullPointer();

  std::optional<AuditLog> audit;
  if (Status status = Start(audit, kOpenQuery, text); !status) return Fail(status);

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

HRESULT HardwareService::DoExecuteCommand(std::u16string_view text) {
  if (text.data() == nullptr) return NullPointer();

  std::optional<AuditLog> audit;
  if (Status status = Start(audit, kExecuteCommand, text); !status) return Fail(status);

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
    return Guarded(FHost, [&] {
      const ComPtr<IHardwareService> service =
          ComPtr<IHardwareService>::Attach(new HardwareService(FHost, CurrentSettings()));
      return service->QueryInterface(iid, object);
    });
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
  // Hosts older than a member leave it out; only SetErrorInfo is required.
  if (!VELMORA_HOST_HAS(host, SetErrorInfo) || host->SetErrorInfo == nullptr) return E_INVALIDARG;
  if (*clsid != CLSID_Hardware) return CLASS_E_CLASSNOTAVAILABLE;
  return server::Guarded(*host, [&] {
    const ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Attach(new server::HardwareFactory(*host));
    return factory->QueryInterface(*iid, object);
  });
}

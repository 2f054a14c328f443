#pragma once

#include <string>

namespace velmora::server {

// Where the service finds its database and audit log, and how long it waits for a
// lock. Sources, most important first: the environment (VELMORA_DATABASE,
// VELMORA_AUDIT_LOG, VELMORA_BUSY_TIMEOUT_MS), then the key of that name in
// $XDG_CONFIG_HOME/velmora/hardware-service.conf, then in each of
// $XDG_CONFIG_DIRS/velmora/hardware-service.conf, then the defaults.
struct ServiceSettings {
  std::string Database;     // absolute path of the database file
  std::string AuditLog;     // absolute path of the audit log; empty when there is none
  int BusyTimeoutMs = 5000; // how long a statement waits for another connection's lock
  std::string Problem;      // when not empty, the configuration is unusable: every operation fails with it
};

// The settings in force now. The configuration files are read once per process
// (the first call); the environment is read at every call, so that a process may
// be pointed at another database between two service objects.
ServiceSettings CurrentSettings();

}  // namespace velmora::server

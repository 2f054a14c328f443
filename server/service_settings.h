#pragma once

#include <string>

namespace velmora::server {

// Where the service finds its database and audit log, and how long it waits for a
// lock. Sources, most important first: the environment (VELMORA_DATABASE or
// VELMORA_ODBC, VELMORA_AUDIT_LOG, VELMORA_BUSY_TIMEOUT_MS), then the key of that
// name in $XDG_CONFIG_HOME/velmora/hardware-service.conf, then in each of
// $XDG_CONFIG_DIRS/velmora/hardware-service.conf, then the defaults. The database
// is one of an SQLite file (database) and an ODBC connection (odbc): the first
// source that sets either decides, and one source may not set both.
struct ServiceSettings {
  std::string Database;     // absolute path of the SQLite database file; empty when Odbc is set
  std::string Odbc;         // the ODBC connection string; empty for the SQLite file
  std::string AuditLog;     // absolute path of the audit log; empty when there is none
  int BusyTimeoutMs = 5000; // how long a statement waits for another connection's lock
  int StatementTimeoutMs = 30000;  // how long one call may run before it is stopped
  std::string Problem;      // when not empty, the configuration is unusable: every operation fails with it
};

// The settings in force now. The configuration files are read once per process
// (the first call); the environment is read at every call, so that a process may
// be pointed at another database between two service objects.
ServiceSettings CurrentSettings();

}  // namespace velmora::server

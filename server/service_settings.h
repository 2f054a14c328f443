#pragma once

#include <string>

namespace velmora::server {

// Where the service finds its database and audit log, and how long it waits. The
// keys, their sources and their order are documented once, in
// hardware-service.conf(5) (packaging/man/hardware-service.conf.5.in). The database
// is one of an SQLite file (database) and an ODBC connection (odbc): the first
// source that sets either decides, and one source may not set both.
struct ServiceSettings {
  std::string Database;     // absolute path of the SQLite database file; empty when Odbc is set
  std::string Odbc;         // the ODBC connection string; empty for the SQLite file
  std::string AuditLog;     // absolute path of the audit log; empty when there is none
  int BusyTimeoutMs = 5000; // how long a statement waits for another connection's lock
  int StatementTimeoutMs = 30000;  // how long one call may run before it is stopped
  std::string Journal;      // the SQLite journal mode asked for: "wal", "delete"; empty: the file's own
  std::string Skipped;      // configuration files that were not used, and why ("" when none)
  std::string Problem;      // when not empty, the configuration is unusable: every operation fails with it
};

// The settings in force now. The configuration files are read once per process
// (the first call); the environment is read at every call, so that a process may
// be pointed at another database between two service objects.
ServiceSettings CurrentSettings();

}  // namespace velmora::server

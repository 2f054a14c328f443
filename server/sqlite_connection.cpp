#include "server/sqlite_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace velmora::server {
namespace {

Status OpenFailure(const std::string& path, std::string_view what) {
  return {SqliteResult(SQLITE_CANTOPEN), "unable to open database file: " + path + std::string(what)};
}

// Runs a statement that returns at most one text value (a pragma); "" when none.
int QueryText(sqlite3* db, const char* sql, std::string& value) {
  sqlite3_stmt* prepared = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &prepared, nullptr);
  const SqliteStatement stmt(prepared);
  if (rc != SQLITE_OK) return rc;
  value.clear();
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    if (const unsigned char* text = sqlite3_column_text(stmt.get(), 0)) value = reinterpret_cast<const char*>(text);
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

SqliteConnection::SqliteConnection(sqlite3* db, std::string path, const struct stat& file, int busyTimeoutMs)
    : FDb(db),
      FPath(std::move(path)),
      FDevice(file.st_dev),
      FInode(file.st_ino),
      FOwner(getpid()),
      FBusyTimeoutMs(busyTimeoutMs) {}

SqliteConnection::~SqliteConnection() {
  if (OwnedByThisProcess()) sqlite3_close_v2(FDb);
}

bool SqliteConnection::OwnedByThisProcess() const { return FOwner == getpid(); }

Status SqliteConnection::SqliteFailure(int rc) const { return {SqliteResult(rc), sqlite3_errmsg(FDb)}; }

Status SqliteConnection::Acquire(const std::string& database, int busyTimeoutMs,
                                 std::shared_ptr<SqliteConnection>& connection) {
  // Opening costs a file open, a schema read and pragmas: far more than a call, so
  // the connection is kept and only replaced when the process is pointed elsewhere
  // (or is a fork child, which must not use its parent's handle).
  static std::mutex cacheMutex;
  static std::shared_ptr<SqliteConnection> cached;
  std::lock_guard cacheLock(cacheMutex);
  // A connection to a file that was since replaced (a restored backup, a new demo)
  // or removed would read and write a file nobody will ever see again.
  struct stat file{};
  const bool sameFile = cached && cached->FPath == database && stat(database.c_str(), &file) == 0 &&
                        file.st_dev == cached->FDevice && file.st_ino == cached->FInode;
  if (sameFile && cached->OwnedByThisProcess()) {
    if (cached->FBusyTimeoutMs != busyTimeoutMs) {
      std::lock_guard lock(cached->FMutex);
      sqlite3_busy_timeout(cached->FDb, busyTimeoutMs);
      cached->FBusyTimeoutMs = busyTimeoutMs;
    }
    connection = cached;
    return Status::Ok();
  }
  Status status = Open(database, busyTimeoutMs, connection);
  if (status) cached = connection;
  return status;
}

Status SqliteConnection::Open(const std::string& database, int busyTimeoutMs,
                              std::shared_ptr<SqliteConnection>& connection) {
  // SQLite would create a missing file (or report only "unable to open database
  // file"); a missing database is a configuration mistake, so say which file.
  struct stat info{};
  if (stat(database.c_str(), &info) != 0) {
    return errno == ENOENT ? OpenFailure(database, " does not exist")
                           : OpenFailure(database, std::string(": ") + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) return OpenFailure(database, " is a directory");

  // Our own mutex guards every use, so SQLite's per-connection mutex is not needed.
  constexpr int kCommonFlags = SQLITE_OPEN_NOMUTEX;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE | kCommonFlags, nullptr);
  if (rc == SQLITE_READONLY || rc == SQLITE_CANTOPEN || rc == SQLITE_PERM) {
    // An existing file we may not write is still worth reading; writes then fail
    // with SQLite's "attempt to write a readonly database".
    sqlite3_close(db);
    db = nullptr;
    rc = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY | kCommonFlags, nullptr);
  }
  if (rc != SQLITE_OK) {
    Status failure{SqliteResult(rc), std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ": " + database};
    sqlite3_close(db);
    return failure;
  }
  sqlite3_extended_result_codes(db, 1);

  auto fail = [&](int code) {
    Status failure{SqliteResult(code), sqlite3_errmsg(db)};
    sqlite3_close(db);
    return failure;
  };

  // The first read of the header: a file that is not a database fails here, with
  // SQLite's own "file is not a database", rather than at some later statement.
  sqlite3_busy_timeout(db, busyTimeoutMs);
  std::string mode;
  if (rc = QueryText(db, "PRAGMA schema_version", mode); rc != SQLITE_OK) return fail(rc);

  // Durable first: synchronous=FULL syncs the write-ahead log at every commit, so a
  // statement is on disk when ExecuteCommand returns. WAL makes that one fsync per
  // commit and lets readers go on while another operator writes. WAL is asked for
  // without waiting for a lock and its refusal (read-only file, another connection
  // busy) is ignored: the database then works in its own journal mode.
  if (rc = QueryText(db, "PRAGMA journal_mode", mode); rc != SQLITE_OK) return fail(rc);
  if (mode != "wal" && sqlite3_db_readonly(db, "main") == 0) {
    sqlite3_busy_timeout(db, 0);
    QueryText(db, "PRAGMA journal_mode=WAL", mode);
    sqlite3_busy_timeout(db, busyTimeoutMs);
  }
  if (rc = sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr); rc != SQLITE_OK) return fail(rc);

  connection.reset(new SqliteConnection(db, database, info, busyTimeoutMs));
  return Status::Ok();
}

}  // namespace velmora::server

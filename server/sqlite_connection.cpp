#include "server/sqlite_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "server/text_rules.h"

namespace velmora::server {
namespace {

// The fence's bounds. A controller list is a few thousand short rows, and the
// client's texts are a few hundred characters: these leave room for any real site
// and stop a text that would take the machine (randomblob(999999999) three times
// took 2.9 GB).
constexpr int kMaxValueBytes = 16 * 1024 * 1024;  // a text, a blob or a row
constexpr int kMaxSqlBytes = 1024 * 1024;         // a statement's text
constexpr int kMaxColumns = 1000;                 // of a table, an index or a result
constexpr sqlite3_int64 kHeapLimitBytes = 256 * 1024 * 1024;  // all of SQLite's memory in the process
// How often, in virtual machine steps, SQLite lets the deadline be checked: a
// clock read per thousand steps costs nothing measurable.
constexpr int kProgressSteps = 1000;

// A wait for a lock is part of its call, so it ends with the call's deadline at
// the latest (SQLite does not look at the deadline while it waits).
int BusyTimeoutMs(const SqliteOptions& options) { return std::min(options.BusyTimeoutMs, options.StatementTimeoutMs); }

Status OpenFailure(const std::string& path, std::string_view what) {
  return {SqliteResult(SQLITE_CANTOPEN), "unable to open database file: " + path + std::string(what)};
}

std::string Duration(int ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

bool Is(const char* text, std::string_view what) { return text != nullptr && std::string_view(text) == what; }

// The PRAGMAs a text may run: they read the schema or the file's state and change
// nothing. The first group takes a name (a table, an index) as its argument; the
// second only reads, so it takes none.
bool PragmaAllowed(const char* name, const char* argument) {
  static constexpr std::string_view kWithName[] = {
      "table_info",       "table_xinfo", "index_list",   "index_info",  "index_xinfo",
      "foreign_key_list", "foreign_key_check", "integrity_check", "quick_check",
  };
  static constexpr std::string_view kReadOnly[] = {
      "user_version", "application_id", "schema_version", "data_version", "page_count", "page_size",
      "freelist_count", "journal_mode", "encoding",     "foreign_keys", "collation_list", "database_list",
      "function_list",  "module_list",  "pragma_list",  "compile_options",
  };
  if (name == nullptr) return false;
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const std::string_view allowed : kWithName) {
    if (lower == allowed) return true;
  }
  if (argument != nullptr) return false;
  for (const std::string_view allowed : kReadOnly) {
    if (lower == allowed) return true;
  }
  return false;
}

Status Refused(std::string description) { return {SqliteResult(SQLITE_AUTH), std::move(description)}; }

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

SqliteConnection::SqliteConnection(sqlite3* db, const SqliteOptions& options, const struct stat& file)
    : FDb(db),
      FPath(options.Database),
      FDevice(file.st_dev),
      FInode(file.st_ino),
      FOwner(getpid()),
      FBusyTimeoutMs(BusyTimeoutMs(options)),
      FStatementTimeoutMs(options.StatementTimeoutMs) {}

SqliteConnection::~SqliteConnection() {
  if (OwnedByThisProcess()) sqlite3_close_v2(FDb);
}

bool SqliteConnection::OwnedByThisProcess() const { return FOwner == getpid(); }

SqliteConnection::Call::Call(SqliteConnection& connection) : FLock(connection.FMutex), FConnection(connection) {
  connection.FDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connection.FStatementTimeoutMs);
  connection.FTimedOut = false;
  connection.FRefusal.reset();
}

SqliteConnection::Call::~Call() { FConnection.FDeadline = std::chrono::steady_clock::time_point::max(); }

Status SqliteConnection::CheckLength(std::u16string_view text) {
  if (text.size() <= static_cast<std::size_t>(kMaxSqlBytes)) return Status::Ok();
  return {SqliteResult(SQLITE_TOOBIG), "the text is " + std::to_string(text.size()) +
                                           " characters long: the service takes statements of at most " +
                                           std::to_string(kMaxSqlBytes >> 20) + " MiB"};
}

Status SqliteConnection::CheckStatement(std::string_view keyword) {
  if (keyword == "VACUUM") return Refused("VACUUM is refused: it rewrites the whole file, or copies it elsewhere");
  return Status::Ok();
}

int SqliteConnection::ExecOwn(const char* sql) {
  FOwnStatement = true;
  const int rc = sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr);
  FOwnStatement = false;
  return rc;
}

Status SqliteConnection::SqliteFailure(int rc) const {
  const int primary = rc & 0xFF;
  // SQLite words some refusals of the authorizer in its own way (functions); the
  // fence's reason is what the caller needs.
  if (FRefusal) return *FRefusal;
  if (primary == SQLITE_INTERRUPT && FTimedOut) {
    return {SqliteResult(rc), "the statement was stopped: it ran longer than the statement_timeout of " +
                                  Duration(FStatementTimeoutMs)};
  }
  std::string description = sqlite3_errmsg(FDb);
  if (primary == SQLITE_NOMEM) {
    description += ": the service gives SQLite at most " + std::to_string(kHeapLimitBytes >> 20) + " MiB";
  } else if (primary == SQLITE_TOOBIG) {
    description += ": the service takes texts and values of at most " + std::to_string(kMaxValueBytes >> 20) +
                   " MiB and statements of at most " + std::to_string(kMaxSqlBytes >> 20) + " MiB";
  }
  return {SqliteResult(rc), std::move(description)};
}

Status SqliteConnection::EnsureAutocommit() {
  if (sqlite3_get_autocommit(FDb) != 0) return Status::Ok();
  if (ExecOwn("ROLLBACK") == SQLITE_OK && sqlite3_get_autocommit(FDb) != 0) return Status::Ok();
  FDiscarded = true;
  return {SqliteResult(SQLITE_ERROR),
          "the database connection was left inside a transaction and was closed; the next call opens a new one"};
}

int SqliteConnection::OnProgress(void* self) {
  auto* connection = static_cast<SqliteConnection*>(self);
  if (std::chrono::steady_clock::now() < connection->FDeadline) return 0;
  connection->FTimedOut = true;
  return 1;
}

int SqliteConnection::Authorize(void* self, int action, const char* first, const char* second, const char* database,
                                const char* /*trigger*/) {
  auto* connection = static_cast<SqliteConnection*>(self);
  if (connection->FOwnStatement) return SQLITE_OK;
  std::optional<Status> refusal;
  switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      refusal = Refused("ATTACH and DETACH are refused: the service works on its own database only");
      break;
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
      refusal = OwnTransaction();
      break;
    case SQLITE_PRAGMA:
      if (!PragmaAllowed(first, second)) {
        refusal = Refused("PRAGMA " + std::string(first ? first : "") + (second ? " = " + std::string(second) : "") +
                          " is refused: the service runs only PRAGMAs that read the schema or the file's state");
      }
      break;
    case SQLITE_FUNCTION:
      // Both would run code of the caller's choosing inside the process.
      if (Is(second, "fts3_tokenizer") || Is(second, "load_extension")) {
        refusal = Refused("the function " + std::string(second) + " is refused");
      }
      break;
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_CREATE_TEMP_TRIGGER:
    case SQLITE_CREATE_TEMP_VIEW:
      refusal = Refused(
          "temporary tables, views, indexes and triggers are refused: they would stand in for the database's own "
          "in every later call");
      break;
    default:
      // CREATE TABLE temp.x and its kind arrive as main-schema actions on the temp
      // schema; reading temp's (empty) catalogue is harmless.
      if (Is(database, "temp") && action != SQLITE_READ && action != SQLITE_SELECT) {
        refusal = Refused(
            "temporary tables, views, indexes and triggers are refused: they would stand in for the database's own "
            "in every later call");
      }
      break;
  }
  if (!refusal) return SQLITE_OK;
  if (!connection->FRefusal) connection->FRefusal = std::move(refusal);
  return SQLITE_DENY;
}

void SqliteConnection::Harden(sqlite3* db) {
  // SQLite's own advice for a database that runs SQL from outside: no changes to
  // the schema's internals, no trust in functions called from the schema, no
  // loading of code. Set before the first read, which parses the file's schema.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kMaxValueBytes);
  sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, kMaxSqlBytes);
  sqlite3_limit(db, SQLITE_LIMIT_COLUMN, kMaxColumns);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
}

void SqliteConnection::Fence() {
  sqlite3_set_authorizer(FDb, Authorize, this);
  sqlite3_progress_handler(FDb, kProgressSteps, OnProgress, this);
}

Status SqliteConnection::Acquire(const SqliteOptions& options, std::shared_ptr<SqliteConnection>& connection) {
  const std::string& database = options.Database;
  // Opening costs a file open, a schema read and pragmas: far more than a call, so
  // the connection is kept and only replaced when the process is pointed elsewhere
  // (or is a fork child, which must not use its parent's handle).
  static std::mutex cacheMutex;
  static std::shared_ptr<SqliteConnection> cached;
  std::lock_guard cacheLock(cacheMutex);
  // A connection to a file that was since replaced (a restored backup, a new demo)
  // or removed would read and write a file nobody will ever see again.
  struct stat file{};
  const bool sameFile = cached && !cached->FDiscarded && cached->FPath == database && stat(database.c_str(), &file) == 0 &&
                        file.st_dev == cached->FDevice && file.st_ino == cached->FInode;
  if (sameFile && cached->OwnedByThisProcess()) {
    std::lock_guard lock(cached->FMutex);
    if (cached->FBusyTimeoutMs != BusyTimeoutMs(options)) {
      sqlite3_busy_timeout(cached->FDb, BusyTimeoutMs(options));
      cached->FBusyTimeoutMs = BusyTimeoutMs(options);
    }
    cached->FStatementTimeoutMs = options.StatementTimeoutMs;
    connection = cached;
    return Status::Ok();
  }
  Status status = Open(options, connection);
  if (status) cached = connection;
  return status;
}

Status SqliteConnection::Open(const SqliteOptions& options, std::shared_ptr<SqliteConnection>& connection) {
  const std::string& database = options.Database;
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
  Harden(db);

  auto fail = [&](int code) {
    Status failure{SqliteResult(code), sqlite3_errmsg(db)};
    sqlite3_close(db);
    return failure;
  };

  // Process-wide, so it also bounds what the connections of other service
  // objects hold; set at every opening, it costs nothing.
  sqlite3_hard_heap_limit64(kHeapLimitBytes);

  // The first read of the header: a file that is not a database fails here, with
  // SQLite's own "file is not a database", rather than at some later statement.
  sqlite3_busy_timeout(db, BusyTimeoutMs(options));
  std::string value;
  if (rc = QueryText(db, "PRAGMA schema_version", value); rc != SQLITE_OK) return fail(rc);

  // The file stays in its own journal mode unless the configuration asks for
  // another: WAL does not work on a network filesystem, which sites that share one
  // file between desks use. A switch is asked for without waiting for a lock and
  // its refusal (read-only file, another connection busy) is ignored, and a file
  // that holds no database yet is never written to (not even a header).
  if (!options.Journal.empty() && sqlite3_db_readonly(db, "main") == 0) {
    std::string pages;
    if (rc = QueryText(db, "PRAGMA page_count", pages); rc != SQLITE_OK) return fail(rc);
    if (rc = QueryText(db, "PRAGMA journal_mode", value); rc != SQLITE_OK) return fail(rc);
    if (pages != "0" && value != options.Journal) {
      sqlite3_busy_timeout(db, 0);
      QueryText(db, ("PRAGMA journal_mode=" + options.Journal).c_str(), value);
      sqlite3_busy_timeout(db, BusyTimeoutMs(options));
    }
  }
  // Durable first, in either mode: a statement is on disk when ExecuteCommand
  // returns.
  if (rc = sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr); rc != SQLITE_OK) return fail(rc);

  connection.reset(new SqliteConnection(db, options, info));
  connection->Fence();
  return Status::Ok();
}

}  // namespace velmora::server

// Statements of any text through the shipped hardware service, created as the
// utility creates it: CoHardware::Create() finds the module through the build
// tree's registration and loads it. Each input is a few requests, OpenQuery or
// ExecuteCommand, on a demo database of 60 controllers in a folder of its own.
//
// Checked: no crash or sanitizer report; every failure is an OleError with a
// failure code and a non-empty, trimmed message; a query's record set reads to its
// end, refuses reads past it, and loads into the controller table or fails with a
// message; the database passes "PRAGMA integrity_check" whenever it is swapped for
// a fresh copy (every kInputsPerDatabase inputs, so that a fuzzed DROP TABLE does
// not make every later input moot).
//
// The module fences SQLite in itself (no ATTACH, no VACUUM INTO, a deadline on
// every call, bounded sizes); the harness only watches: the process's one file
// system is a wrapper that fails the run when any file outside the database's
// folder is opened or deleted. The statement timeout is short, so that an endless
// recursive query ends quickly.
//
// Input: requests separated by 0x1E. A request's first byte picks the call ('X'
// ExecuteCommand, 'L' OpenQuery loaded into the controller table, anything else
// OpenQuery walked by hand); the rest is UTF-8 text in which 0x1F plus two bytes
// (little-endian) is one raw UTF-16 code unit (NULs, lone surrogates) and 0x1D plus
// one byte is a fragment from kFragments.

#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controllers/main_window.h"
#include "data/database_error.h"
#include "fuzz/text_checks.h"
#include "service/com.h"
#include "service/hardware_service.h"
#include "service/utf.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace velmora;

constexpr int kInputsPerDatabase = 50;
constexpr int kMaxRequests = 8;
constexpr int kMaxRowsWalked = 2000;

constexpr const char* kFragments[] = {
    "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1",
    "UPDATE Controllers SET ConnectArden=0 WHERE Site = 2 and Controller = 7",
    ("SELECT Site ,Controller ,ControllerType AS [Controller Type] ,Description ,ConnectArden AS [Disabled] "
     "FROM Controllers ORDER BY Site,Controller"),
    "SELECT * FROM Controllers",
    " FROM Controllers",
    " WHERE Site = 1",
    ";",
    "[",
    "]",
    "'",
    "\"",
    "--",
    "/*",
    "*/",
    "\n",
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "END",
    "ROLLBACK",
    "SAVEPOINT s",
    "RELEASE s",
    "ROLLBACK TO s",
    "ATTACH 'other.db' AS o",
    "ATTACH ':memory:' AS m",
    "ATTACH '/tmp/velmora-fuzz-outside.db' AS x",
    "DETACH o",
    "CREATE TABLE o.t(a)",
    "PRAGMA journal_mode",
    "PRAGMA journal_mode=DELETE",
    "PRAGMA journal_mode=OFF",
    "PRAGMA locking_mode=EXCLUSIVE",
    "PRAGMA query_only=1",
    "PRAGMA user_version=7",
    "PRAGMA integrity_check",
    "CREATE TABLE t(a)",
    "INSERT INTO t VALUES(1)",
    "DROP TABLE Controllers",
    "DELETE FROM Controllers",
    "INSERT INTO Controllers VALUES(9, 9, 99, x'00ff', 1)",
    "VACUUM",
    "VACUUM INTO 'copy.db'",
    "CREATE TRIGGER tr AFTER UPDATE ON Controllers BEGIN SELECT RAISE(ABORT, 'refused'); END",
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x FROM c",
    "randomblob(64)",
    "zeroblob(16)",
    "x'00FF80'",
    "CAST(Description AS BLOB)",
    "char(0, 55296, 65533)",
    "9223372036854775807",
    "-9223372036854775808",
    "1e308",
    "'\xC3\xA4\xF0\x9F\x94\x92'",
    "ConnectArden",
    "Description",
    "ControllerType",
    "CREATE INDEX i ON Controllers(Description)",
    "CREATE TEMP TABLE Controllers(Site, Controller, ControllerType, Description, ConnectArden)",
    "CREATE TEMP TRIGGER tt BEFORE UPDATE ON Controllers BEGIN SELECT RAISE(IGNORE); END",
    "fts3_tokenizer('simple')",
    "fts3_tokenizer('simple', x'4141414141414141')",
    "load_extension('x')",
    "PRAGMA writable_schema=ON",
    "PRAGMA synchronous=OFF",
    "RETURNING *",
    "randomblob(999999999)",
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "service_statement_fuzzer: %s\n", what.c_str());
  std::abort();
}

void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

// ---- The watch on the process's SQLite. ----

std::string gFolder;  // the database's folder, as SQLite spells full paths
sqlite3_vfs* gRealVfs = nullptr;

bool Inside(const char* path) {
  return path == nullptr || std::string_view(path).starts_with(gFolder + "/");
}

int WatchedOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  if (!Inside(name)) Fail(std::string("fuzzed text made SQLite open ") + name + ", outside the database's folder");
  return gRealVfs->xOpen(gRealVfs, name, file, flags, outFlags);
}

int WatchedDelete(sqlite3_vfs*, const char* name, int syncDir) {
  if (!Inside(name)) Fail(std::string("fuzzed text made SQLite delete ") + name + ", outside the database's folder");
  return gRealVfs->xDelete(gRealVfs, name, syncDir);
}

int WatchedAccess(sqlite3_vfs*, const char* name, int flags, int* result) {
  return gRealVfs->xAccess(gRealVfs, name, flags, result);
}

int WatchedFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return gRealVfs->xFullPathname(gRealVfs, name, size, out);
}

sqlite3_vfs gWatched;

// Makes the watch the only file system: with URI file names a text could name
// any registered one ("?vfs=unix-none") and walk around a mere default.
void InstallWatch() {
  gRealVfs = sqlite3_vfs_find("unix");
  Check(gRealVfs != nullptr, "SQLite has no unix file system");
  while (sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr)) sqlite3_vfs_unregister(vfs);
  gWatched = *gRealVfs;
  gWatched.pNext = nullptr;
  gWatched.zName = "velmora-fuzz-watch";
  gWatched.xOpen = WatchedOpen;
  gWatched.xDelete = WatchedDelete;
  gWatched.xAccess = WatchedAccess;
  gWatched.xFullPathname = WatchedFullPathname;
  // The rest (randomness, sleep, time, dlopen, system calls) ignore their vfs
  // argument's identity or read only what the copy carries over.
  Check(sqlite3_vfs_register(&gWatched, 1) == SQLITE_OK, "cannot register the watch");
}

// ---- The database and its fresh copies. ----

std::string gPristine;
std::string gDatabase;
int gGeneration = 0;
int gInputs = 0;

void RunDemoDb(const std::string& file) {
  std::vector<std::string> args = {VELMORA_DEMO_DB, file, "--rows", "60"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  Check(posix_spawn(&pid, VELMORA_DEMO_DB, nullptr, nullptr, argv.data(), environ) == 0, "cannot start velmora-demo-db");
  int status = 0;
  Check(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0, "velmora-demo-db failed");
}

// "ok" from PRAGMA integrity_check on our own connection, or what it said instead.
std::string IntegrityOf(const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    return "cannot open: " + message;
  }
  sqlite3_busy_timeout(db, 1000);
  std::string result;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
  while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (const unsigned char* text = sqlite3_column_text(stmt, 0)) result += reinterpret_cast<const char*>(text);
    rc = SQLITE_OK;
  }
  if (rc != SQLITE_DONE) result += std::string(" (") + sqlite3_errmsg(db) + ")";
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

void UseFreshDatabase() {
  const std::string previous = gDatabase;
  gDatabase = gFolder + "/controllers-" + std::to_string(++gGeneration) + ".db";
  fs::copy_file(gPristine, gDatabase, fs::copy_options::overwrite_existing);
  setenv("VELMORA_DATABASE", gDatabase.c_str(), 1);
  if (previous.empty()) return;

  // The service changes over to the new file at its next call, closing the old
  // connection; then the old file is checked and removed with everything the
  // fuzzed texts left beside it.
  {
    ComPtr<IHardwareService> service = CoHardware::Create();
    ClearErrorInfo();
    ComPtr<IUnknown> ignored;
    service->OpenQuery(u"SELECT 1", ignored.Put());
    ClearErrorInfo();
  }
  const std::string integrity = IntegrityOf(previous);
  Check(integrity == "ok", "the database fails its integrity check: " + integrity);
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(gFolder, ec)) {
    if (!entry.path().string().starts_with(gDatabase)) fs::remove_all(entry.path(), ec);
  }
}

// ---- Requests. ----

std::u16string DecodeText(std::string_view bytes) {
  std::u16string text;
  std::size_t run = 0;  // start of the plain UTF-8 run
  const auto flush = [&](std::size_t end) { AppendUtf8AsUtf16(bytes.substr(run, end - run), text); };
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == 0x1F && i + 2 < bytes.size()) {
      flush(i);
      text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i + 1]) |
                                    (static_cast<unsigned char>(bytes[i + 2]) << 8));
      i += 3;
      run = i;
    } else if (c == 0x1D && i + 1 < bytes.size()) {
      flush(i);
      AppendUtf8AsUtf16(kFragments[static_cast<unsigned char>(bytes[i + 1]) % std::size(kFragments)], text);
      i += 2;
      run = i;
    } else {
      ++i;
    }
  }
  flush(bytes.size());
  return text;
}

void CheckFailure(const OleError& e, const char* call) {
  const std::string message = e.what();
  Check(Failed(e.Code()), std::string(call) + " threw with a success code");
  Check(!message.empty(), std::string(call) + " failed without a message");
  Check(fuzz::IsValidUtf8(message), std::string(call) + "'s message is not UTF-8");
  const auto last = static_cast<unsigned char>(message.back());
  Check(last > ' ' && last != '.', std::string(call) + "'s message is not trimmed: " + message);
}

// A record set call that must fail, and leave a description saying why.
void CheckRefused(HRESULT hr, const char* what) {
  Check(Failed(hr), std::string("the record set allowed ") + what);
  const std::optional<std::u16string> description = TakeErrorInfo();
  Check(description && !description->empty(), std::string("the record set refused ") + what + " without a description");
}

void ReadValue(const Variant& v) {
  // Every byte of a handed-out text must be readable (AddressSanitizer checks).
  volatile unsigned sum = 0;
  for (const char c : v.Text) sum = sum + static_cast<unsigned char>(c);
  for (const char16_t c : v.WideText) sum = sum + c;
}

void Walk(IRecordset& recordset) {
  std::int32_t state = -1;
  OleCheck(recordset.GetState(&state));
  Check(state == IRecordset::kStateOpen, "a query's record set is not open");
  std::int32_t count = -1;
  OleCheck(recordset.GetFieldCount(&count));
  Check(count >= 0, "a negative field count");
  for (std::int32_t i = 0; i < count; ++i) {
    std::u16string name;
    OleCheck(recordset.GetFieldName(i, &name));
    IRecordset::FieldKind kind;
    OleCheck(recordset.GetFieldKind(i, &kind));
  }
  std::u16string name;
  CheckRefused(recordset.GetFieldName(count, &name), "a field name past the last field");
  bool eof = false;
  int rows = 0;
  for (OleCheck(recordset.GetEOF(&eof)); !eof && rows < kMaxRowsWalked; OleCheck(recordset.GetEOF(&eof)), ++rows) {
    for (std::int32_t i = 0; i < count; ++i) {
      Variant v;
      OleCheck(recordset.GetValue(i, &v));
      ReadValue(v);
    }
    Variant v;
    CheckRefused(recordset.GetValue(count, &v), "a value past the last field");
    ClearErrorInfo();
    OleCheck(recordset.MoveNext());
  }
  if (eof) {
    Variant v;
    CheckRefused(recordset.GetValue(0, &v), "a value past the last row");
    CheckRefused(recordset.MoveNext(), "a move past the last row");
  }
  OleCheck(recordset.Close());
  OleCheck(recordset.Close());  // closing twice is harmless
  OleCheck(recordset.GetState(&state));
  Check(state == IRecordset::kStateClosed, "a closed record set is not closed");
  Check(Failed(recordset.MoveFirst()), "a closed record set moved");
  ClearErrorInfo();
}

class NoHost : public TfrmMain::Host {
 public:
  void Close() override {}
};

// As the utility loads its list, into its own table.
void LoadIntoTable(ComPtr<IRecordset> recordset) {
  NoHost host;
  TfrmMain form(host);
  form.kbmControllers.AfterPost = nullptr;
  try {
    form.ADODataSet1.SetRecordset(std::move(recordset));
    form.kbmControllers.LoadFromDataSet(form.ADODataSet1);
  } catch (const DatabaseError& e) {
    Check(*e.what() != '\0', "a load failed without a message");
  } catch (const OleError& e) {
    CheckFailure(e, "a record set");
  }
  form.ADODataSet1.Close();
}

void Request(char call, std::u16string_view text) {
  ComPtr<IHardwareService> service = CoHardware::Create();
  if (call == 'X') {
    try {
      ExecuteCommand(*service, text);
    } catch (const OleError& e) {
      CheckFailure(e, "ExecuteCommand");
    }
    return;
  }
  ComPtr<IUnknown> result;
  try {
    result = OpenQuery(*service, text);
  } catch (const OleError& e) {
    CheckFailure(e, "OpenQuery");
    return;
  }
  Check(bool(result), "OpenQuery succeeded without a record set");
  ComPtr<IRecordset> recordset = AsRecordset(result);
  Check(bool(recordset), "OpenQuery's object offers no record set");
  result.Reset();
  if (call == 'L') {
    LoadIntoTable(std::move(recordset));
    return;
  }
  try {
    Walk(*recordset);
  } catch (const OleError& e) {
    CheckFailure(e, "a record set");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string base = (fs::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
  Check(mkdtemp(base.data()) != nullptr, "cannot make a temporary folder");
  const std::string root = fs::canonical(base).string();
  gFolder = root + "/db";
  fs::create_directories(gFolder);
  fs::create_directories(root + "/none");

  gPristine = root + "/pristine.db";
  RunDemoDb(gPristine);

  setenv("VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY, 1);
  setenv("VELMORA_BUSY_TIMEOUT_MS", "20", 1);
  setenv("VELMORA_STATEMENT_TIMEOUT_MS", "200", 1);
  unsetenv("VELMORA_AUDIT_LOG");
  setenv("HOME", root.c_str(), 1);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_DIRS"}) {
    setenv(name, (root + "/none").c_str(), 1);
  }

  if (!std::getenv("VELMORA_FUZZ_KEEP")) {
    static std::string gRoot;
    gRoot = root;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(gRoot, ec);
    });
  }

  InstallWatch();
  Check(CoInitialize() == S_OK, "CoInitialize failed");
  UseFreshDatabase();
  // Loads the module now, before the fuzzing starts, and proves the set-up works.
  Request('Q', u"SELECT count(*) FROM Controllers");
  std::fprintf(stderr, "service_statement_fuzzer: databases in %s\n", gFolder.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (++gInputs % kInputsPerDatabase == 0) UseFreshDatabase();
  std::string_view input(reinterpret_cast<const char*>(bytes), size);
  for (int k = 0; k < kMaxRequests && !input.empty(); ++k) {
    const std::size_t end = std::min(input.find('\x1E'), input.size());
    const std::string_view request = input.substr(0, end);
    input.remove_prefix(std::min(end + 1, input.size()));
    if (request.empty()) continue;
    const char call = request.front() == 'X' || request.front() == 'L' ? request.front() : 'Q';
    Request(call, DecodeText(request.substr(1)));
    Check(!TakeErrorInfo(), "error information was left behind");
  }
  return 0;
}

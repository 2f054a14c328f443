#pragma once
// What the hardware service tests share: temporary folders, SQLite files built and
// read with the C API, the client's own list query, and child processes.

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "service/recordset.h"

namespace velmora::test {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& Path() const { return FPath; }
  std::string File(const std::string& name) const { return (FPath / name).string(); }

 private:
  std::filesystem::path FPath;
};

// A connection of the test's own, beside the service's; throws on any failure.
class SqliteFile {
 public:
  explicit SqliteFile(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;
  ~SqliteFile();

  void Exec(const std::string& sql);
  // The rows of a query, one line each, values joined by '|', NULL for null.
  std::string Dump(const std::string& sql);
  sqlite3* Handle() const { return FDb; }

 private:
  sqlite3* FDb = nullptr;
};

// The Controllers table exactly as the utility's databases hold it.
extern const char* const kControllersSchema;

// Creates path holding the Controllers table and the rows given as SQL value
// lists ("(1, 2, 0, 'North gate', 0)"), in its default (rollback) journal mode.
void CreateControllersDb(const std::string& path, const std::vector<std::string>& rows);

// The list query as the utility sends it.
std::u16string ListQuery();

// A record set's rows as Dump writes them; text arrives as UTF-8 bytes.
std::string DumpRecordset(IRecordset& recordset);
std::vector<std::string> FieldNames(IRecordset& recordset);

// A finished child process: its exit code (-1 when it did not exit) and output.
struct ProcessResult {
  int ExitCode = -1;
  std::string Output;
};

// Starts program with args and the test's environment changed by env (an empty
// value removes a variable); returns its pid. The output goes to outputFile.
int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& outputFile);
// Waits for a started process; reads its output back from outputFile.
ProcessResult WaitProcess(int pid, const std::string& outputFile);
// Both in one.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::vector<std::string> SplitLines(const std::string& text);

// Points this process at the build tree's registration and away from the user's
// own configuration, and clears the service's variables; each test calls it first.
void UseTestEnvironment();

}  // namespace velmora::test

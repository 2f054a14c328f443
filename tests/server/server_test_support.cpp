#include "server_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "service/com.h"
#include "service/utf.h"

extern char** environ;

namespace velmora::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-server-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  FPath = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

SqliteFile::SqliteFile(const std::string& path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &FDb, flags, nullptr) != SQLITE_OK) {
    const std::string message = FDb ? sqlite3_errmsg(FDb) : "out of memory";
    sqlite3_close(FDb);
    throw std::runtime_error(path + ": " + message);
  }
  sqlite3_busy_timeout(FDb, 5000);
}

SqliteFile::~SqliteFile() { sqlite3_close(FDb); }

void SqliteFile::Exec(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error(sql + ": " + message);
  }
}

std::string SqliteFile::Dump(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sql + ": " + sqlite3_errmsg(FDb));
  }
  std::string out;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      if (i > 0) out += '|';
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
      out += text ? std::string(text, sqlite3_column_bytes(statement, i)) : "NULL";
    }
    out += '\n';
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(FDb));
  return out;
}

const char* const kControllersSchema =
    "CREATE TABLE Controllers (Site INTEGER NOT NULL, Controller INTEGER NOT NULL, ControllerType INTEGER, "
    "Description TEXT, ConnectArden INTEGER, PRIMARY KEY (Site, Controller))";

void CreateControllersDb(const std::string& path, const std::vector<std::string>& rows) {
  SqliteFile db(path);
  db.Exec(kControllersSchema);
  for (const std::string& row : rows) db.Exec("INSERT INTO Controllers VALUES " + row);
}

std::u16string ListQuery() {
  // Line for line as the program holds it, trailing blanks and the tab included.
  static constexpr const char16_t* kLines[] = {
      u"SELECT Site",
      u"       ,Controller",
      u"       ,CASE ",
      u"          WHEN ControllerType IN (0,3) THEN 'Arden'",
      u"          WHEN ControllerType IN (1,4) THEN 'Arden-L'",
      u"          WHEN ControllerType IN (2,5) THEN 'Arden-N'",
      u"          WHEN ControllerType = 7 THEN 'Arden-NX'",
      u"          WHEN ControllerType = 8 THEN 'Arden-R4'",
      u"          WHEN ControllerType = 9 THEN 'Kestrel-Hub'",
      u"          WHEN ControllerType = 11 THEN 'HX210-77040'          ",
      u"          WHEN ControllerType = 25 THEN 'QV8810'",
      u"          WHEN ControllerType = 30 THEN 'TM770A'",
      u"          WHEN ControllerType = 32 THEN 'TM790A'",
      u"          WHEN ControllerType = 40 THEN 'TM950A'",
      u"          WHEN ControllerType = 41 THEN 'QV8830'",
      u"          WHEN ControllerType = 13 THEN 'Z7-RT'",
      u"        END AS [Controller Type]",
      u"      ,Description  ",
      u"\t  ,ConnectArden AS [Disabled]       ",
      u"FROM Controllers",
      u"ORDER BY Site,Controller",
  };
  std::u16string text;
  for (const char16_t* line : kLines) {
    text += line;
    text += u"\r\n";
  }
  return text;
}

std::string DumpRecordset(IRecordset& recordset) {
  std::int32_t count = 0;
  if (Failed(recordset.GetFieldCount(&count))) throw std::runtime_error("GetFieldCount failed");
  std::string out;
  for (bool eof = false; Succeeded(recordset.GetEOF(&eof)) && !eof;) {
    for (std::int32_t i = 0; i < count; ++i) {
      if (i > 0) out += '|';
      Variant value;
      if (Failed(recordset.GetValue(i, &value))) throw std::runtime_error("GetValue failed");
      switch (value.Type) {
        case Variant::Kind::Null: out += "NULL"; break;
        case Variant::Kind::Integer: out += std::to_string(value.Integer); break;
        case Variant::Kind::Real: out += std::to_string(value.Real); break;
        case Variant::Kind::Text: out += value.Text; break;
        case Variant::Kind::WideText: out += Utf16ToUtf8(value.WideText); break;
      }
    }
    out += '\n';
    if (Failed(recordset.MoveNext())) throw std::runtime_error("MoveNext failed");
  }
  return out;
}

std::vector<std::string> FieldNames(IRecordset& recordset) {
  std::int32_t count = 0;
  recordset.GetFieldCount(&count);
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < count; ++i) {
    std::u16string name;
    recordset.GetFieldName(i, &name);
    names.push_back(Utf16ToUtf8(name));
  }
  return names;
}

int StartProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& outputFile) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (!env.contains(entry.substr(0, entry.find('=')))) environment.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) environment.push_back(name + "=" + value);
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  return pid;
}

ProcessResult WaitProcess(int pid, const std::string& outputFile) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  ProcessResult result;
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.Output = ReadFile(outputFile);
  return result;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env) {
  TempDir dir;
  const std::string output = dir.File("output");
  return WaitProcess(StartProcess(program, args, env, output), output);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void UseTestEnvironment() {
  setenv("VELMORA_REGISTRY", VELMORA_TEST_REGISTRY, 1);
  // The service reads its configuration files once per process; none of the
  // user's may leak into a test.
  setenv("XDG_CONFIG_HOME", "/nonexistent/velmora-test/config", 1);
  setenv("XDG_CONFIG_DIRS", "/nonexistent/velmora-test/xdg", 1);
  setenv("XDG_DATA_HOME", "/nonexistent/velmora-test/data", 1);
  for (const char* name : {"VELMORA_DATABASE", "VELMORA_ODBC", "VELMORA_AUDIT_LOG", "VELMORA_BUSY_TIMEOUT_MS"}) {
    unsetenv(name);
  }
}

}  // namespace velmora::test

// Where the service finds its database. The configuration files are read once per
// process, so every case runs a client process of its own.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "server_test_support.h"

namespace velmora::test {
namespace {

// text with every "@" replaced by dir.
std::string At(std::string text, const std::string& dir) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size())) {
    text.replace(at, 1, dir);
  }
  return text;
}

// The probe's environment for a test folder t: its own home, system and data
// folders, and nothing of the service's variables.
std::map<std::string, std::string> ProbeEnvironment(const std::string& t) {
  return {
      {"VELMORA_REGISTRY", VELMORA_TEST_REGISTRY},
      {"XDG_CONFIG_HOME", t + "/home"},
      // Relative entries do not count; the first real one holds nothing.
      {"XDG_CONFIG_DIRS", "relative/xdg:" + t + "/none:" + t + "/sys"},
      {"XDG_DATA_HOME", t + "/data"},
      {"VELMORA_DATABASE", ""},
      {"VELMORA_ODBC", ""},
      {"VELMORA_AUDIT_LOG", ""},
      {"VELMORA_BUSY_TIMEOUT_MS", ""},
      {"VELMORA_STATEMENT_TIMEOUT_MS", ""},
  };
}

TEST(Configuration, DatabaseComesFromEnvironmentThenUserThenSystemFilesThenDefault) {
  struct Case {
    const char* Label;
    const char* UserFile;    // hardware-service.conf below $XDG_CONFIG_HOME; nullptr: none
    const char* SystemFile;  // the same below the second entry of $XDG_CONFIG_DIRS
    std::map<std::string, std::string> Env;
    const char* Output;  // the probe's, for a query of Controllers; each database has its own row count
  } cases[] = {
      {"nothing configured", nullptr, nullptr, {}, "ok 4\n"},
      {"user file, relative to its folder", "database = ../../user.db\n", nullptr, {}, "ok 1\n"},
      {"system file", nullptr, "# site-wide\n\ndatabase = @/system.db\n", {}, "ok 2\n"},
      {"user file before system file", "database=@/user.db", "database = @/system.db\n", {}, "ok 1\n"},
      {"each key from the first file that sets it", "audit_log = @/audit.log\n", "database = @/system.db\n", {},
       "ok 2\n"},
      {"environment first", "database = @/user.db\n", "database = @/system.db\n",
       {{"VELMORA_DATABASE", "@/env.db"}}, "ok 3\n"},
      {"configured file missing", "database = @/missing.db\n", nullptr, {},
       "failed: unable to open database file: @/missing.db does not exist\n"},
      {"unknown key", "# settings\ndatabse = @/user.db\n", "database = @/system.db\n", {},
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 2: "
       "unknown key 'databse' (known keys: database, odbc, audit_log, statement_timeout, journal)\n"},
      {"line without a value", nullptr, "database\n", {},
       "failed: the hardware service is not configured correctly: @/sys/velmora/hardware-service.conf line 1: "
       "expected 'key = value'\n"},
      {"empty database", "database =\n", nullptr, {},
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 1: "
       "database needs a file name\n"},
      // No such data source: the driver manager's own message shows that the user's
      // connection string, not the site's file, was used.
      {"user's odbc before system file's database", "odbc = DSN=velmora_user_dsn;UID=alice\n",
       "database = @/system.db\n", {},
       "failed: [unixODBC][Driver Manager]Data source name not found and no default driver specified (SQLSTATE "
       "IM002)\n"},
      {"user's database before system file's odbc", "database = @/user.db\n", "odbc = DSN=velmora_site\n", {},
       "ok 1\n"},
      {"environment's database before a file's odbc", "odbc = DSN=velmora_user_dsn\n", nullptr,
       {{"VELMORA_DATABASE", "@/env.db"}}, "ok 3\n"},
      {"both in one file", "database = @/user.db\nodbc = DSN=velmora\n", nullptr, {},
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf: database "
       "and odbc are both set; a configuration names one database\n"},
      {"empty odbc", "odbc =\n", nullptr, {},
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 1: "
       "odbc needs a connection string\n"},
      {"busy timeout not a number", nullptr, nullptr, {{"VELMORA_BUSY_TIMEOUT_MS", "soon"}},
       "failed: the hardware service is not configured correctly: VELMORA_BUSY_TIMEOUT_MS must be a number of "
       "milliseconds from 0 to 600000, not 'soon'\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string t = dir.Path().string();
    std::filesystem::create_directories(t + "/home/velmora");
    std::filesystem::create_directories(t + "/sys/velmora");
    std::filesystem::create_directories(t + "/data/velmora");
    CreateControllersDb(t + "/user.db", {"(1, 1, 0, 'u', 0)"});
    CreateControllersDb(t + "/system.db", {"(1, 1, 0, 's', 0)", "(1, 2, 0, 's', 0)"});
    CreateControllersDb(t + "/env.db", {"(1, 1, 0, 'e', 0)", "(1, 2, 0, 'e', 0)", "(1, 3, 0, 'e', 0)"});
    CreateControllersDb(t + "/data/velmora/controllers.db",
                        {"(1, 1, 0, 'd', 0)", "(1, 2, 0, 'd', 0)", "(1, 3, 0, 'd', 0)", "(1, 4, 0, 'd', 0)"});
    if (c.UserFile) WriteFile(t + "/home/velmora/hardware-service.conf", At(c.UserFile, t));
    if (c.SystemFile) WriteFile(t + "/sys/velmora/hardware-service.conf", At(c.SystemFile, t));

    std::map<std::string, std::string> env = ProbeEnvironment(t);
    for (const auto& [name, value] : c.Env) env[name] = At(value, t);

    const ProcessResult result = RunProcess(VELMORA_SERVICE_PROBE, {"query", "SELECT * FROM Controllers"}, env);
    EXPECT_EQ(result.ExitCode, 0) << c.Label;
    EXPECT_EQ(result.Output, At(c.Output, t)) << c.Label;
    EXPECT_FALSE(std::filesystem::exists(t + "/missing.db")) << c.Label;
  }
}

// Files that someone else could have written, or that are no configuration at
// all: skipped with the reason, or refused naming the file and line; never a hang
// or an aborted process.
TEST(Configuration, FilesAreReadDefensively) {
  const std::string kProblem = "failed: the hardware service is not configured correctly: ";
  struct Case {
    const char* Label;
    std::function<void(const std::string& userFile)> Make;  // makes the user's file (its folder exists)
    const char* Output;  // of a query of Controllers; "@" is the test folder
  } cases[] = {
      {"NUL in a value", [](const std::string& f) { WriteFile(f, std::string("database = user.db\0.bak\n", 24)); },
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 1: "
       "the line holds a NUL character\n"},
      {"repeated key", [](const std::string& f) { WriteFile(f, "database = x.db\n# again\n database = y.db\n"); },
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 3: "
       "database is set again (first on line 1)\n"},
      {"larger than 64 KiB",
       [](const std::string& f) { WriteFile(f, std::string(70000, '#') + "\ndatabase = user.db\n"); },
       "failed: the hardware service is not configured correctly: the configuration file "
       "@/home/velmora/hardware-service.conf is larger than 64 KiB\n"},
      {"endless device", [](const std::string& f) { std::filesystem::create_symlink("/dev/zero", f); },
       "failed: the hardware service is not configured correctly: the configuration file "
       "@/home/velmora/hardware-service.conf is not a regular file\n"},
      {"FIFO", [](const std::string& f) { mkfifo(f.c_str(), 0600); },
       "failed: the hardware service is not configured correctly: the configuration file "
       "@/home/velmora/hardware-service.conf is not a regular file\n"},
      // The system file decides instead: two rows.
      {"folder writable by everyone",
       [](const std::string& f) {
         WriteFile(f, "database = ../../user.db\n");
         std::filesystem::permissions(std::filesystem::path(f).parent_path(), std::filesystem::perms::all);
       },
       "ok 2\n"},
      {"folder writable by everyone, with the sticky bit",
       [](const std::string& f) {
         WriteFile(f, "database = ../../user.db\n");
         std::filesystem::permissions(std::filesystem::path(f).parent_path(),
                                      std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
       },
       "ok 1\n"},
      {"file writable by everyone",
       [](const std::string& f) {
         WriteFile(f, "database = ../../user.db\n");
         std::filesystem::permissions(f, std::filesystem::perms::all);
       },
       "ok 2\n"},
      {"unreadable database named by a skipped file",
       [](const std::string& f) {
         WriteFile(f, "database = ../../user.db\n");
         std::filesystem::permissions(f, std::filesystem::perms::all);
         WriteFile(std::filesystem::path(f).parent_path().parent_path().parent_path() / "sys/velmora/hardware-service.conf",
                   "database = missing.db\n");
       },
       "failed: unable to open database file: @/sys/velmora/missing.db does not exist (the configuration file "
       "@/home/velmora/hardware-service.conf was skipped: it is writable by every user)\n"},
      {"statement timeout",
       [](const std::string& f) { WriteFile(f, "database = ../../user.db\nstatement_timeout = 200 ms\n"); },
       "failed: the statement was stopped: it ran longer than the statement_timeout of 200 ms\n"},
      {"statement timeout without a unit",
       [](const std::string& f) { WriteFile(f, "statement_timeout = soon\n"); },
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 1: "
       "statement_timeout must be a number of seconds (\"30\") or milliseconds (\"500 ms\") up to a day, not "
       "'soon'\n"},
      {"journal mode unknown", [](const std::string& f) { WriteFile(f, "journal = off\n"); },
       "failed: the hardware service is not configured correctly: @/home/velmora/hardware-service.conf line 1: "
       "journal must be keep, wal or delete, not 'off'\n"},
  };
  if (geteuid() == 0) {
    // Only root can give a file to another user.
    cases[7].Label = "file of another user";
    cases[7].Make = [](const std::string& f) {
      WriteFile(f, "database = ../../user.db\n");
      ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
    };
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    TempDir dir;
    const std::string t = dir.Path().string();
    std::filesystem::create_directories(t + "/home/velmora");
    std::filesystem::create_directories(t + "/sys/velmora");
    CreateControllersDb(t + "/user.db", {"(1, 1, 0, 'u', 0)"});
    CreateControllersDb(t + "/system.db", {"(1, 1, 0, 's', 0)", "(1, 2, 0, 's', 0)"});
    WriteFile(t + "/sys/velmora/hardware-service.conf", At("database = @/system.db\n", t));
    c.Make(t + "/home/velmora/hardware-service.conf");
    const std::string query = std::string(c.Label).starts_with("statement timeout")
                                  ? "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT count(*) FROM r"
                                  : "SELECT * FROM Controllers";
    const ProcessResult result = RunProcess(VELMORA_SERVICE_PROBE, {"query", query}, ProbeEnvironment(t));
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, At(c.Output, t));
    EXPECT_FALSE(std::filesystem::exists(t + "/sys/velmora/missing.db"));
  }
}

TEST(Configuration, TheJournalModeIsTheFilesOwnUnlessOneIsAskedFor) {
  struct Case {
    const char* Label;
    const char* Setting;  // the user file's journal line; "" for none
    const char* FileMode;  // the mode the file was made in
    const char* After;
  } cases[] = {
      {"kept: rollback journal", "", "delete", "delete\n"},
      {"kept: WAL", "", "wal", "wal\n"},
      {"kept, said so", "journal = keep\n", "delete", "delete\n"},
      {"WAL asked for", "journal = wal\n", "delete", "wal\n"},
      {"back from WAL", "journal = delete\n", "wal", "delete\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    TempDir dir;
    const std::string t = dir.Path().string();
    std::filesystem::create_directories(t + "/home/velmora");
    CreateControllersDb(t + "/user.db", {"(1, 1, 0, 'u', 0)"});
    SqliteFile(t + "/user.db").Exec(std::string("PRAGMA journal_mode=") + c.FileMode);
    WriteFile(t + "/home/velmora/hardware-service.conf", std::string("database = ../../user.db\n") + c.Setting);
    const ProcessResult result = RunProcess(
        VELMORA_SERVICE_PROBE,
        {"query", "SELECT * FROM Controllers", "command", "UPDATE Controllers SET ConnectArden = 1"},
        ProbeEnvironment(t));
    EXPECT_EQ(result.Output, "ok 1\nok\n");
    EXPECT_EQ(SqliteFile(t + "/user.db").Dump("PRAGMA journal_mode"), c.After);
  }
}

}  // namespace
}  // namespace velmora::test

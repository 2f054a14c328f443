// Where the service finds its database. The configuration files are read once per
// process, so every case runs a client process of its own.

#include <gtest/gtest.h>

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

    std::map<std::string, std::string> env = {
        {"VELMORA_REGISTRY", VELMORA_TEST_REGISTRY},
        {"XDG_CONFIG_HOME", t + "/home"},
        // Relative entries do not count; the first real one holds nothing.
        {"XDG_CONFIG_DIRS", "relative/xdg:" + t + "/none:" + t + "/sys"},
        {"XDG_DATA_HOME", t + "/data"},
        {"VELMORA_DATABASE", ""},
        {"VELMORA_ODBC", ""},
        {"VELMORA_AUDIT_LOG", ""},
        {"VELMORA_BUSY_TIMEOUT_MS", ""},
    };
    for (const auto& [name, value] : c.Env) env[name] = At(value, t);

    const ProcessResult result = RunProcess(VELMORA_SERVICE_PROBE, {"query", "SELECT * FROM Controllers"}, env);
    EXPECT_EQ(result.ExitCode, 0) << c.Label;
    EXPECT_EQ(result.Output, At(c.Output, t)) << c.Label;
    EXPECT_FALSE(std::filesystem::exists(t + "/missing.db")) << c.Label;
  }
}

}  // namespace
}  // namespace velmora::test

// The audit log: one line per text the service receives, from any number of
// processes, and no operation when the line cannot be written.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "server_test_support.h"
#include "service/hardware_service.h"
#include "service/utf.h"

namespace velmora::test {
namespace {

// The list query as the log writes it: CR, LF and tab escaped.
const std::string kLoggedListQuery =
    "SELECT Site\\r\\n"
    "       ,Controller\\r\\n"
    "       ,CASE \\r\\n"
    "          WHEN ControllerType IN (0,3) THEN 'Arden'\\r\\n"
    "          WHEN ControllerType IN (1,4) THEN 'Arden-L'\\r\\n"
    "          WHEN ControllerType IN (2,5) THEN 'Arden-N'\\r\\n"
    "          WHEN ControllerType = 7 THEN 'Arden-NX'\\r\\n"
    "          WHEN ControllerType = 8 THEN 'Arden-R4'\\r\\n"
    "          WHEN ControllerType = 9 THEN 'Kestrel-Hub'\\r\\n"
    "          WHEN ControllerType = 11 THEN 'HX210-77040'          \\r\\n"
    "          WHEN ControllerType = 25 THEN 'QV8810'\\r\\n"
    "          WHEN ControllerType = 30 THEN 'TM770A'\\r\\n"
    "          WHEN ControllerType = 32 THEN 'TM790A'\\r\\n"
    "          WHEN ControllerType = 40 THEN 'TM950A'\\r\\n"
    "          WHEN ControllerType = 41 THEN 'QV8830'\\r\\n"
    "          WHEN ControllerType = 13 THEN 'Z7-RT'\\r\\n"
    "        END AS [Controller Type]\\r\\n"
    "      ,Description  \\r\\n"
    "\\t  ,ConnectArden AS [Disabled]       \\r\\n"
    "FROM Controllers\\r\\n"
    "ORDER BY Site,Controller\\r\\n";

mode_t Umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

std::string UserName() {
  const passwd* entry = getpwuid(geteuid());
  return entry ? entry->pw_name : "uid " + std::to_string(geteuid());
}

// A line without its time stamp, which is checked for its form and then dropped.
std::string WithoutTime(const std::string& line) {
  static const std::regex kTime(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\t)");
  std::smatch match;
  if (!std::regex_search(line, match, kTime)) return "no time stamp: " + line;
  return match.suffix();
}

class AuditLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    FDatabase = FDir.File("controllers.db");
    FLog = FDir.File("audit.log");
    CreateControllersDb(FDatabase, {"(1, 1, 0, 'North gate reader', 0)", "(1, 2, 7, 'Boiler room panel 3', 1)"});
    setenv("VELMORA_DATABASE", FDatabase.c_str(), 1);
    setenv("VELMORA_AUDIT_LOG", FLog.c_str(), 1);
  }
  void TearDown() override { CoUninitialize(); }

  static std::string Outcome(const std::function<void()>& fn) {
    try {
      fn();
      return "ok";
    } catch (const OleError& e) {
      return std::string("failed: ") + e.what();
    }
  }

  std::string Stored() {
    return SqliteFile(FDatabase, SQLITE_OPEN_READONLY).Dump("SELECT * FROM Controllers ORDER BY Site, Controller");
  }

  TempDir FDir;
  std::string FDatabase;
  std::string FLog;
};

TEST_F(AuditLogTest, OneLinePerTextWithOutcomeAndEscapes) {
  struct Case {
    const char* Label;
    bool Command;
    std::u16string Text;
    const char* Logged;  // the outcome as logged
    std::string LoggedText;
  } cases[] = {
      {"list query", false, ListQuery(), "ok", kLoggedListQuery},
      {"failed query", false, u"SELECT * FROM Sites", "failed: no such table: Sites", "SELECT * FROM Sites"},
      {"write-back", true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2", "ok",
       "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2"},
      {"write-back of a removed row", true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 9 and Controller = 9",
       "failed: No controller matched the update: no row has that site and controller, so nothing was changed",
       "UPDATE Controllers SET ConnectArden=1 WHERE Site = 9 and Controller = 9"},
      {"escapes in text and description", false, u"SELECT 'tab\there \\ back', '\u05E9\u05E2\u05E8\r\nline' x, 'open\nend",
       "failed: unrecognized token: \"'open\\nend\"",
       "SELECT 'tab\\there \\\\ back', '\u05E9\u05E2\u05E8\\r\\nline' x, 'open\\nend"},
      // Characters that could end a line, or make a terminal show another one,
      // each in a form a reader sees.
      {"every kind of control", false,
       u"SELECT '\x1B[2K\x1B[1A forged\x7F\u0085\u009B\u2028\u2029\u202E\u2066', x'00' AS \x01",
       "failed: unrecognized token: \"\\x01\"",
       "SELECT '\\x1B[2K\\x1B[1A forged\\x7F\\u0085\\u009B\\u2028\\u2029\\u202E\\u2066', x'00' AS \\x01"},
  };
  std::string expected;
  for (const Case& c : cases) {
    const auto service = CoHardware::Create();
    Outcome([&] { c.Command ? ExecuteCommand(*service, c.Text) : (void)OpenQuery(*service, c.Text); });
    const std::string operation = UserName() + "\t" + (c.Command ? "ExecuteCommand" : "OpenQuery") + "\t";
    expected += operation + "started\t" + c.LoggedText + "\n";
    expected += operation + c.Logged + "\t" + c.LoggedText + "\n";
  }
  std::string logged;
  for (const std::string& line : SplitLines(ReadFile(FLog))) logged += WithoutTime(line) + "\n";
  EXPECT_EQ(logged, expected);

  struct stat info{};
  ASSERT_EQ(stat(FLog.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u & ~Umask()) << "the log names who did what: its owner's and group's only";
}

TEST_F(AuditLogTest, LogThatCannotBeWrittenStopsTheOperation) {
  const std::string gone = FDir.File("gone/audit.log");
  const std::string folder = FDir.Path().string();
  const std::string link = FDir.File("link.log");
  const std::string fifo = FDir.File("fifo.log");
  std::filesystem::create_symlink(FDir.File("elsewhere.log"), link);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* Label;
    std::string Log;
    std::string CommandMessage;
    std::string QueryMessage;
  } cases[] = {
      {"missing folder", gone,
       "the audit log " + gone + " cannot be opened: No such file or directory; nothing was read or changed",
       "the audit log " + gone + " cannot be opened: No such file or directory; nothing was read or changed"},
      {"folder in its place", folder,
       "the audit log " + folder + " cannot be opened: Is a directory; nothing was read or changed",
       "the audit log " + folder + " cannot be opened: Is a directory; nothing was read or changed"},
      // Each would take the lines where nobody looks, or hold every operation.
      {"device", "/dev/full", "the audit log /dev/full is not a regular file; nothing was read or changed",
       "the audit log /dev/full is not a regular file; nothing was read or changed"},
      {"symbolic link", link,
       "the audit log " + link + " is a symbolic link, which the service does not follow; nothing was read or changed",
       "the audit log " + link + " is a symbolic link, which the service does not follow; nothing was read or changed"},
      {"FIFO without a reader", fifo, "the audit log " + fifo + " is not a regular file; nothing was read or changed",
       "the audit log " + fifo + " is not a regular file; nothing was read or changed"},
  };
  const std::string before = Stored();
  for (const Case& c : cases) {
    setenv("VELMORA_AUDIT_LOG", c.Log.c_str(), 1);
    EXPECT_EQ(Outcome([] { ExecuteCommand(*CoHardware::Create(), u"UPDATE Controllers SET ConnectArden=1"); }),
              "failed: " + c.CommandMessage)
        << c.Label;
    EXPECT_EQ(Outcome([] { OpenQuery(*CoHardware::Create(), ListQuery()); }), "failed: " + c.QueryMessage) << c.Label;
    EXPECT_EQ(Stored(), before) << c.Label;
  }
  EXPECT_FALSE(std::filesystem::exists(FDir.File("elsewhere.log")));
}

TEST_F(AuditLogTest, ATextWhoseProcessIsKilledStillHasItsLine) {
  const std::string endless = "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT count(*) FROM r";
  const std::string output = FDir.File("probe.out");
  const int pid =
      StartProcess(VELMORA_SERVICE_PROBE, {"query", endless}, {{"VELMORA_STATEMENT_TIMEOUT_MS", "600000"}}, output);
  // The line is there while the text runs; then the process is killed mid-way.
  const std::string expected = UserName() + "\tOpenQuery\tstarted\t" + endless;
  std::vector<std::string> lines;
  for (int tries = 0; tries < 1000 && lines.empty(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (std::filesystem::exists(FLog)) lines = SplitLines(ReadFile(FLog));
  }
  kill(pid, SIGKILL);
  const ProcessResult result = WaitProcess(pid, output);
  EXPECT_EQ(result.ExitCode, -1) << "the text ended before it was killed: " << result.Output;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(WithoutTime(lines[0]), expected);
  EXPECT_EQ(SplitLines(ReadFile(FLog)).size(), 1u);
}

TEST_F(AuditLogTest, TwoProcessesWritingAtOnceGiveWholeLines) {
  constexpr int kRounds = 100;  // a query and a command each: 200 operations per process
  const std::string query = Utf16ToUtf8(ListQuery());
  const std::string commands[] = {
      "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1",
      "UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 2",
  };
  const std::string outputs[] = {FDir.File("probe-0.out"), FDir.File("probe-1.out")};
  const std::string go = FDir.File("go");
  int pids[2];
  for (int i = 0; i < 2; ++i) {
    pids[i] = StartProcess(VELMORA_SERVICE_PROBE,
                           {"--repeat", std::to_string(kRounds), "--start-when", go, "query", query, "command", commands[i]},
                           {}, outputs[i]);
  }
  WriteFile(go, "");
  for (int i = 0; i < 2; ++i) {
    const ProcessResult result = WaitProcess(pids[i], outputs[i]);
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    std::string expected;
    for (int round = 0; round < kRounds; ++round) expected += "ok 2\nok\n";
    EXPECT_EQ(result.Output, expected) << "probe " << i;
  }

  std::map<std::string, int> counts;
  const std::vector<std::string> lines = SplitLines(ReadFile(FLog));
  EXPECT_EQ(lines.size(), 8u * kRounds);
  for (const std::string& line : lines) ++counts[WithoutTime(line)];
  const std::string prefix = UserName() + "\t";
  EXPECT_EQ(counts, (std::map<std::string, int>{
                        {prefix + "OpenQuery\tstarted\t" + kLoggedListQuery, 2 * kRounds},
                        {prefix + "OpenQuery\tok\t" + kLoggedListQuery, 2 * kRounds},
                        {prefix + "ExecuteCommand\tstarted\t" + commands[0], kRounds},
                        {prefix + "ExecuteCommand\tok\t" + commands[0], kRounds},
                        {prefix + "ExecuteCommand\tstarted\t" + commands[1], kRounds},
                        {prefix + "ExecuteCommand\tok\t" + commands[1], kRounds},
                    }));
}

}  // namespace
}  // namespace velmora::test

// Several operators and a killed utility: what a write-back reported stored is in
// the database, what it reported failed is not, and the file stays sound. Each
// case runs on an SQLite file and on PostgreSQL through ODBC.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/odbc_database.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A probe process with its standard output on a pipe; killed when it goes.
class Probe {
 public:
  explicit Probe(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<std::string> all{VELMORA_TOGGLE_PROBE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, VELMORA_TOGGLE_PROBE, &actions, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    FOut = pipeFds[0];
  }
  ~Probe() {
    Kill();
    close(FOut);
  }

  // The next line of output, or "" at the end or after the deadline.
  std::string ReadLine(Clock::duration timeout = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (const auto nl = FBuffer.find('\n'); nl != std::string::npos) {
        std::string line = FBuffer.substr(0, nl);
        FBuffer.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return "";
      pollfd p{FOut, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return "";
      char chunk[4096];
      const ssize_t n = read(FOut, chunk, sizeof chunk);
      if (n <= 0) return "";
      FBuffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  std::vector<std::string> ReadLines(std::size_t count) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
      std::string line = ReadLine();
      if (line.empty()) break;
      lines.push_back(line);
    }
    return lines;
  }

  // Waits (bounded) for the probe to end by itself, so that its connection is closed.
  void Wait() {
    for (int i = 0; i < 3000 && FPid > 0; ++i) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = -1;
        return;
      }
      usleep(10000);
    }
    Kill();
  }

  void Kill() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
  }

 private:
  pid_t FPid = -1;
  int FOut = -1;
  std::string FBuffer;
};

class OperatorsFixture : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmora-operators-XXXXXX").string();
    FDir = mkdtemp(pattern.data());
    FDatabase = (FDir / "controllers.db").string();
    setenv("VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY, 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_DIRS"}) {
      setenv(name, (FDir / "xdg").c_str(), 1);
    }
    unsetenv("VELMORA_AUDIT_LOG");
    unsetenv("VELMORA_BUSY_TIMEOUT_MS");
    const std::string command = std::string(VELMORA_DEMO_DB) + " " + FDatabase + " --rows 400 >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("demo database");
    if (std::string(GetParam()) == "sqlite") {
      setenv("VELMORA_DATABASE", FDatabase.c_str(), 1);
      unsetenv("VELMORA_ODBC");
    } else {
      std::string reason;
      const std::string server = velmora::test::PostgresServer(reason);
      if (server.empty()) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << reason;
        GTEST_SKIP() << reason;
      }
      // The same demo rows, copied into the server's database.
      FServer = std::make_unique<velmora::test::PostgresDatabase>(server);
      FServer->Connection().Exec(velmora::test::kPostgresControllersSchema);
      velmora::test::CopyControllers(FDatabase, FServer->Connection());
      setenv("VELMORA_ODBC", FServer->ConnectionString().c_str(), 1);
      unsetenv("VELMORA_DATABASE");
    }
    // Every flag 0 or 1, so that a toggle's stored value tells what it did.
    Exec("UPDATE Controllers SET ConnectArden = 0 WHERE ConnectArden IS NULL OR ConnectArden NOT IN (0, 1)");
  }
  void TearDown() override {
    FServer.reset();
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  // The values of every row of a query's result, joined by single blanks.
  std::string Exec(const std::string& sql) {
    if (FServer) {
      std::string text = FServer->Connection().Dump(sql);
      for (char& c : text) {
        if (c == '|' || c == '\n') c = ' ';
      }
      while (!text.empty() && text.back() == ' ') text.pop_back();
      return text;
    }
    sqlite3* db = nullptr;
    sqlite3_open(FDatabase.c_str(), &db);
    std::string result;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int columns, char** values, char**) {
          auto& text = *static_cast<std::string*>(out);
          for (int i = 0; i < columns; ++i) text += (text.empty() ? "" : " ") + std::string(values[i] ? values[i] : "-");
          return 0;
        },
        &result, nullptr);
    sqlite3_close(db);
    return result;
  }

  // SQLite's own check of the file; a server keeps its own files sound.
  void ExpectSound() {
    if (!FServer) {
      EXPECT_EQ(Exec("PRAGMA integrity_check"), "ok");
    }
  }

  // ConnectArden of every controller, keyed "site/controller".
  std::map<std::string, int> Flags() {
    std::map<std::string, int> flags;
    std::istringstream in(Exec("SELECT Site || '/' || Controller || '=' || ConnectArden FROM Controllers"));
    std::string entry;
    while (in >> entry) {
      const auto eq = entry.find('=');
      flags[entry.substr(0, eq)] = std::stoi(entry.substr(eq + 1));
    }
    return flags;
  }

  static std::vector<std::string> Rows(int from, int to) {
    std::vector<std::string> rows;
    for (int r = from; r < to; ++r) rows.push_back(std::to_string(r));
    return rows;
  }

  fs::path FDir;
  std::string FDatabase;  // the demo rows; the database itself for SQLite
  std::unique_ptr<velmora::test::PostgresDatabase> FServer;
};

INSTANTIATE_TEST_SUITE_P(Backends, OperatorsFixture, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(OperatorsFixture, AWriteBackThatReturnedSurvivesTheUtilityBeingKilled) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    SCOPED_TRACE(attempt);
    const std::map<std::string, int> before = Flags();
    const int row = attempt * 7;
    Probe probe({"--hold", std::to_string(row)});
    const std::string line = probe.ReadLine();
    probe.Kill();  // SIGKILL at once: nothing of the utility's runs after the line
    ASSERT_EQ(line.rfind("ok ", 0), 0u) << line;
    const std::string key = line.substr(3, line.rfind(' ') - 3);
    const int stored = std::stoi(line.substr(line.rfind(' ') + 1));
    std::map<std::string, int> expected = before;
    ASSERT_TRUE(expected.count(key)) << key;
    EXPECT_EQ(stored, 1 - before.at(key));
    expected[key] = stored;
    EXPECT_EQ(Flags(), expected);
    ExpectSound();
  }
}

TEST_P(OperatorsFixture, TwoOperatorsOnDifferentRowsAtOnceStoreEveryToggle) {
  int sent = 0, stored = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::map<std::string, int> before = Flags();
    const std::string start = (FDir / ("start" + std::to_string(round))).string();
    std::vector<std::string> a{"--start-when", start}, b{"--start-when", start};
    for (const std::string& r : Rows(0, 150)) a.push_back(r);
    for (const std::string& r : Rows(150, 300)) b.push_back(r);
    Probe first(a), second(b);
    std::ofstream{start};
    std::vector<std::string> lines = first.ReadLines(150);
    const std::vector<std::string> more = second.ReadLines(150);
    lines.insert(lines.end(), more.begin(), more.end());
    ASSERT_EQ(lines.size(), 300u);
    first.Wait();
    second.Wait();

    std::map<std::string, int> expected = before;
    for (const std::string& line : lines) {
      ++sent;
      // Every toggle reported stored is in the file, and none failed while two
      // operators merely shared the database.
      ASSERT_EQ(line.rfind("ok ", 0), 0u) << line;
      ++stored;
      const std::string key = line.substr(3, line.rfind(' ') - 3);
      expected[key] = std::stoi(line.substr(line.rfind(' ') + 1));
      EXPECT_EQ(expected[key], 1 - before.at(key)) << key;
    }
    EXPECT_EQ(Flags(), expected);
    ExpectSound();
  }
  EXPECT_EQ(stored, sent);
  RecordProperty("toggles_sent", sent);
  RecordProperty("toggles_stored", stored);
}

TEST_P(OperatorsFixture, TwoOperatorsOnTheSameRowLeaveOneOfTheirValues) {
  const std::string start = (FDir / "start").string();
  Probe first({"--start-when", start, "--repeat", "60", "3"});
  Probe second({"--start-when", start, "--repeat", "60", "3"});
  std::ofstream{start};
  const std::vector<std::string> a = first.ReadLines(60);
  const std::vector<std::string> b = second.ReadLines(60);
  ASSERT_EQ(a.size(), 60u);
  ASSERT_EQ(b.size(), 60u);
  first.Wait();
  second.Wait();
  for (const auto* lines : {&a, &b}) {
    for (const std::string& line : *lines) EXPECT_EQ(line.rfind("ok ", 0), 0u) << line;
  }
  // Both end on the value they stored last; the later of the two is in the file.
  const int last = Flags().at(a.back().substr(3, a.back().rfind(' ') - 3));
  EXPECT_TRUE(last == 0 || last == 1);
  ExpectSound();
}

}  // namespace

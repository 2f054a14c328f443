// The shipped module served by a real velmora-hardware-server process, through the
// client's proxies: the same answers as in process, creation failures that say
// which socket and why, bounded waits on a server that stops answering, and a
// server that survives clients that break the protocol or vanish.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "service/hardware_service.h"
#include "service/module_abi.h"
#include "service/registry.h"
#include "service/utf.h"
#include "service/wire.h"
#include "tests/server/server_test_support.h"
#include "tests/support/odbc_database.h"

extern char** environ;

namespace velmora::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

const std::string kClassFile = RegistrationFileName(CLSID_Hardware);

// A server process of its own, in a process group of its own so that the whole of
// it (listener and client processes) can be stopped or killed at once. Its
// environment is the test's changed by env (an empty value removes a variable).
class ServerProcess {
 public:
  ServerProcess(const std::string& socket, const std::map<std::string, std::string>& env,
                std::vector<std::string> extraArgs = {})
      : FSocket(socket), FEnv(env), FArgs(std::move(extraArgs)) {}
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() { Kill(SIGKILL); }

  void Start() {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (!FEnv.contains(entry.substr(0, entry.find('=')))) environment.push_back(entry);
    }
    for (const auto& [name, value] : FEnv) {
      if (!value.empty()) environment.push_back(name + "=" + value);
    }
    std::vector<std::string> args = {VELMORA_HARDWARE_SERVER, "--socket", FSocket};
    args.insert(args.end(), FArgs.begin(), FArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    ASSERT_EQ(posix_spawn(&FPid, argv[0], nullptr, &attr, argv.data(), envp.data()), 0);
    posix_spawnattr_destroy(&attr);
    for (int i = 0; i < 200 && !Listening(); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Listening()) << "the server did not start listening on " << FSocket;
  }

  bool Listening() const {
    const int fd = Connect(FSocket);
    if (fd < 0) return false;
    close(fd);
    return true;
  }

  // Signals every process of the server.
  void Signal(int sig) {
    if (FPid > 0) kill(-FPid, sig);
  }
  void Kill(int sig) {
    if (FPid <= 0) return;
    kill(-FPid, SIGCONT);
    kill(-FPid, sig);
    waitpid(FPid, nullptr, 0);
    // The workers are not our children: wait, boundedly, until none is left to
    // hold the socket, so that the next connection meets the server's absence.
    for (int i = 0; i < 500 && kill(-FPid, 0) == 0; ++i) usleep(10000);
    FPid = -1;
  }

  static int Connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

 private:
  std::string FSocket;
  std::map<std::string, std::string> FEnv;
  std::vector<std::string> FArgs;
  pid_t FPid = -1;
};

// A folder with a database, an audit log, the shipped registration (in process)
// and one naming the local server, and the server itself.
class LocalServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    FDb = FDir.File("controllers.db");
    FAudit = FDir.File("audit.log");
    FSocket = FDir.File("hardware.sock");
    CreateControllersDb(FDb, {"(1, 1, 0, 'North gate', 0)", "(1, 2, 1, 'Süd-Tor', NULL)", "(2, 1, 7, 'Dock', 1)"});
    std::filesystem::create_directories(FDir.Path() / "local");
    WriteFile((FDir.Path() / "local" / kClassFile).string(), LocalServerRegistrationText(FSocket, "test"));
    setenv("VELMORA_DATABASE", FDb.c_str(), 1);
    setenv("VELMORA_AUDIT_LOG", FAudit.c_str(), 1);
    UseLocalServer();
    CoInitialize();
  }
  void TearDown() override {
    CoUninitialize();
    unsetenv("VELMORA_DATABASE");
    unsetenv("VELMORA_AUDIT_LOG");
    unsetenv("VELMORA_REGISTRY");
    unsetenv("VELMORA_LOCAL_SERVER_TIMEOUT_MS");
  }

  void UseLocalServer() { setenv("VELMORA_REGISTRY", (FDir.Path() / "local").c_str(), 1); }
  void UseInProcess() { setenv("VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY, 1); }

  std::map<std::string, std::string> ServerEnv() const {
    return {{"VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY}, {"VELMORA_DATABASE", FDb}, {"VELMORA_AUDIT_LOG", FAudit}};
  }
  std::unique_ptr<ServerProcess> StartServer(std::vector<std::string> args = {}) {
    auto server = std::make_unique<ServerProcess>(FSocket, ServerEnv(), std::move(args));
    server->Start();
    return server;
  }

  // The outcome of a creation: "ok" or the message the user reads.
  static std::string CreateOutcome() {
    try {
      CoHardware::Create();
      return "ok";
    } catch (const OleError& e) {
      return e.what();
    }
  }

  // Everything a query hands back, as one string: field names and kinds, every
  // value with its kind, and how the record set ended.
  static std::string QueryState(const std::u16string& text) {
    std::string out;
    try {
      const ComPtr<IHardwareService> service = CoHardware::Create();
      const ComPtr<IRecordset> recordset = AsRecordset(OpenQuery(*service, text));
      std::int32_t count = 0;
      OleCheck(recordset->GetFieldCount(&count));
      for (std::int32_t i = 0; i < count; ++i) {
        std::u16string name;
        IRecordset::FieldKind kind{};
        OleCheck(recordset->GetFieldName(i, &name));
        OleCheck(recordset->GetFieldKind(i, &kind));
        out += Utf16ToUtf8(name) + ":" + std::to_string(static_cast<int>(kind)) + " ";
      }
      out += "\n";
      bool eof = false;
      for (OleCheck(recordset->GetEOF(&eof)); !eof; OleCheck(recordset->GetEOF(&eof))) {
        for (std::int32_t i = 0; i < count; ++i) {
          Variant v;
          const HRESULT hr = recordset->GetValue(i, &v);
          if (Failed(hr)) {
            try { OleCheck(hr); } catch (const OleError& e) { out += std::string("<failed: ") + e.what() + ">|"; }
            continue;
          }
          switch (v.Type) {
            case Variant::Kind::Null: out += "null|"; break;
            case Variant::Kind::Integer: out += "i" + std::to_string(v.Integer) + "|"; break;
            case Variant::Kind::Real: out += "r" + std::to_string(v.Real) + "|"; break;
            case Variant::Kind::Text: out += "t" + std::string(v.Text) + "|"; break;
            case Variant::Kind::WideText: out += "t" + Utf16ToUtf8(v.WideText) + "|"; break;
          }
        }
        out += "\n";
        OleCheck(recordset->MoveNext());
      }
      out += "end";
      recordset->Close();
    } catch (const OleError& e) {
      out += std::string("failed: ") + e.what();
    }
    return out;
  }

  static std::string CommandOutcome(const std::u16string& text) {
    try {
      const ComPtr<IHardwareService> service = CoHardware::Create();
      ExecuteCommand(*service, text);
      return "ok";
    } catch (const OleError& e) {
      return std::string("failed: ") + e.what();
    }
  }

  std::string Stored() {
    SqliteFile db(FDb, SQLITE_OPEN_READONLY);
    return db.Dump("SELECT Site, Controller, ConnectArden FROM Controllers ORDER BY Site, Controller");
  }

  TempDir FDir;
  std::string FDb;
  std::string FAudit;
  std::string FSocket;
};

// Every query and command answers through the server exactly as in process:
// values of each kind, many batches, a failure part-way through the rows, and the
// descriptions of failed calls.
TEST_F(LocalServerFixture, AnswersAsInProcess) {
  {
    SqliteFile db(FDb);
    db.Exec("CREATE TABLE Kinds(i INTEGER, r REAL, t TEXT, b BLOB, n)");
    db.Exec("INSERT INTO Kinds VALUES (-9223372036854775808, 2.5, 'Zürich ✓', x'00ff', NULL),"
            " (9223372036854775807, -0.0, '', NULL, 'x'), (0, 1e300, replace(hex(zeroblob(30000)), '0', 'é'), NULL, 1)");
  }
  const auto server = StartServer();
  struct Case {
    const char* Name;
    std::u16string Text;
  };
  const Case queries[] = {
      {"the list query", ListQuery()},
      {"every kind of value", u"SELECT * FROM Kinds"},
      {"no rows", u"SELECT * FROM Controllers WHERE Site < 0"},
      {"many batches", u"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 150000) "
                       u"SELECT x, 'row ' || x AS label FROM c"},
      {"a failure after four rows", u"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 9) "
                                    u"SELECT x, CASE WHEN x = 5 THEN abs(-9223372036854775807 - 1) ELSE x END FROM c"},
      {"a syntax error", u"SELEC 1"},
      {"no such table", u"SELECT * FROM Nowhere"},
      {"a NUL in the text", u"SELECT 1\0; DROP TABLE Controllers"s},
  };
  for (const Case& c : queries) {
    UseInProcess();
    const std::string inProcess = QueryState(c.Text);
    UseLocalServer();
    EXPECT_EQ(QueryState(c.Text), inProcess) << c.Name;
  }
  const Case commands[] = {
      {"no row matched", u"UPDATE Controllers SET ConnectArden = 1 WHERE Site = 99"},
      {"a syntax error", u"UPDAT Controllers"},
      {"its own transaction", u"BEGIN; UPDATE Controllers SET ConnectArden = 1 WHERE Site = 1; COMMIT"},
  };
  for (const Case& c : commands) {
    UseInProcess();
    const std::string inProcess = CommandOutcome(c.Text);
    UseLocalServer();
    EXPECT_EQ(CommandOutcome(c.Text), inProcess) << c.Name;
    EXPECT_NE(inProcess, "ok") << c.Name;
  }
  EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2"), "ok");
  EXPECT_EQ(Stored(), "1|1|0\n1|2|1\n2|1|1\n");
}

TEST_F(LocalServerFixture, CreationFailuresSayWhichSocketAndWhy) {
  const std::string tail = ", ClassID: " + CLSID_Hardware.ToString();
  EXPECT_EQ(CreateOutcome(), FSocket + ": No such file or directory" + tail);

  // A socket nobody listens on, as a killed server leaves it.
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, FSocket.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);
  EXPECT_EQ(CreateOutcome(), FSocket + ": Connection refused" + tail);

  // The server replaces the stale socket; its own failure to create the object
  // travels back with the server's text.
  {
    auto server = std::make_unique<ServerProcess>(
        FSocket, std::map<std::string, std::string>{{"VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY}});
    server->Start();
    EXPECT_EQ(CreateOutcome(), "ok");
  }

  // A relative socket path is no registration at all.
  WriteFile((FDir.Path() / "local" / kClassFile).string(), "LocalServer=hardware.sock\n");
  EXPECT_EQ(CreateOutcome(), "Class not registered" + tail);
  // In process first when a registration names both.
  WriteFile((FDir.Path() / "local" / kClassFile).string(),
            ReadFile(std::string(VELMORA_SHIPPED_REGISTRY) + "/" + kClassFile) + "LocalServer=/nonexistent.sock\n");
  EXPECT_EQ(CreateOutcome(), "ok");
}

// A server that stops answering costs the client one bounded wait, whether it
// stops before the greeting or in the middle of a call, and then a clear message.
TEST_F(LocalServerFixture, StoppedServerCostsABoundedWait) {
  setenv("VELMORA_LOCAL_SERVER_TIMEOUT_MS", "1000", 1);
  const auto server = StartServer();
  server->Signal(SIGSTOP);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CreateOutcome(), FSocket + ": the server did not answer within 1 s, ClassID: " +
                                 CLSID_Hardware.ToString());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  server->Signal(SIGCONT);

  const ComPtr<IHardwareService> service = CoHardware::Create();
  server->Signal(SIGSTOP);
  started = std::chrono::steady_clock::now();
  try {
    ExecuteCommand(*service, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1");
    ADD_FAILURE() << "a stopped server reported success";
  } catch (const OleError& e) {
    EXPECT_EQ(std::string(e.what()), "the hardware server at " + FSocket +
                                         " did not answer within 1 s; the call was given up and may or may not have "
                                         "been carried out");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  server->Signal(SIGCONT);
  // The server was only late: the next call is answered.
  EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"), "ok");
}

// A server killed outright: the next call says so, a restarted one is used again.
TEST_F(LocalServerFixture, KilledServerThenRestarted) {
  auto server = StartServer();
  EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"), "ok");
  server->Kill(SIGKILL);
  EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"),
            "failed: " + FSocket + ": Connection refused, ClassID: " + CLSID_Hardware.ToString());
  server = StartServer();
  EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"), "ok");
  EXPECT_EQ(Stored(), "1|1|0\n1|2|NULL\n2|1|1\n");
}

std::vector<std::uint8_t> Frame(wire::FrameType type, const std::vector<std::uint8_t>& payload) {
  wire::Writer writer(type);
  writer.Bytes(payload.data(), payload.size());
  return writer.Finish();
}

std::vector<std::uint8_t> HelloFrame(std::uint16_t version = wire::kVersion) {
  wire::Writer writer(wire::FrameType::Hello);
  writer.U32(wire::kMagic);
  writer.U16(version);
  wire::WriteGuid(writer, CLSID_Hardware);
  return writer.Finish();
}

std::vector<std::uint8_t> CallFrame(wire::FrameType type, const std::u16string& text) {
  wire::Writer writer(type);
  EXPECT_TRUE(writer.Text(text));
  return writer.Finish();
}

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Reads what the server sends until it hangs up; false when it did not within 10 s.
bool ServerHangsUp(int fd, std::string* lastText = nullptr) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  for (;;) {
    wire::Frame frame;
    const wire::ReadStatus status = wire::ReadFrame(fd, frame);
    if (status == wire::ReadStatus::TimedOut) return false;
    if (status != wire::ReadStatus::Ok) return true;
    wire::Reader reader(frame.Payload);
    wire::CallResult result;
    if (lastText && frame.Type == wire::FrameType::Result && reader.Result(result) && result.Description) {
      *lastText = Utf16ToUtf8(*result.Description);
    }
  }
}

// Clients that break the protocol, stop half-way or vanish: each is dropped, none
// of a half-sent command is carried out or logged, and the server goes on serving.
TEST_F(LocalServerFixture, SurvivesBadClients) {
  const auto server = StartServer();
  const std::u16string toggle = u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 2 and Controller = 1 /* bad */";
  const std::vector<std::uint8_t> command = CallFrame(wire::FrameType::ExecuteCommand, toggle);
  std::vector<std::uint8_t> halfCommand(command.begin(), command.begin() + command.size() / 2);
  std::vector<std::uint8_t> oversized = {0xFF, 0xFF, 0xFF, 0x7F, 3};
  std::vector<std::uint8_t> trailing = Frame(wire::FrameType::ExecuteCommand, {2, 0, 0, 0, 'x', 0, 'y', 0, 9});
  std::vector<std::uint8_t> pastFrame = Frame(wire::FrameType::ExecuteCommand, {200, 0, 0, 0, 'x', 0});
  // What the client does once it has sent its bytes.
  enum class Then { Wait, HalfClose, HangUp };
  struct Case {
    const char* Name;
    std::vector<std::uint8_t> Sent;
    Then After;
    const char* Told;  // what the server tells the client, if anything
  };
  const Case cases[] = {
      {"garbage in place of a greeting", {'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n'}, Then::Wait, nullptr},
      {"a call in place of a greeting", command, Then::Wait, nullptr},
      {"another protocol version", HelloFrame(2), Then::Wait,
       "the server speaks protocol version 1, the client version 2"},
      {"an oversized frame", Join({HelloFrame(), oversized}), Then::Wait, nullptr},
      {"an unknown frame type", Join({HelloFrame(), {0, 0, 0, 0, 0x7E}}), Then::Wait, nullptr},
      {"a server's frame from the client", Join({HelloFrame(), Frame(wire::FrameType::End, {})}), Then::Wait, nullptr},
      {"bytes after the text", Join({HelloFrame(), trailing}), Then::Wait, nullptr},
      {"a text running past its frame", Join({HelloFrame(), pastFrame}), Then::Wait, nullptr},
      {"half a command, then hang-up", Join({HelloFrame(), halfCommand}), Then::HangUp, nullptr},
      {"half a command, then half-closed", Join({HelloFrame(), halfCommand}), Then::HalfClose, nullptr},
      {"greeting, then half-closed", HelloFrame(), Then::HalfClose, nullptr},
  };
  for (const Case& c : cases) {
    const int fd = ServerProcess::Connect(FSocket);
    ASSERT_GE(fd, 0) << c.Name;
    ASSERT_TRUE(wire::WriteAll(fd, c.Sent)) << c.Name;
    if (c.After == Then::HalfClose) shutdown(fd, SHUT_WR);
    if (c.After != Then::HangUp) {
      // The server must end the conversation itself, telling what it has to tell.
      std::string told;
      EXPECT_TRUE(ServerHangsUp(fd, &told)) << c.Name;
      if (c.Told) {
        EXPECT_EQ(told, c.Told) << c.Name;
      }
    }
    close(fd);
    EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"), "ok")
        << c.Name;
    EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"), "ok")
        << c.Name;
  }
  // A whole command is carried out even when its client leaves before the
  // answer; the half-sent ones left no trace.
  const int fd = ServerProcess::Connect(FSocket);
  ASSERT_TRUE(wire::WriteAll(fd, HelloFrame()));
  wire::Frame reply;
  ASSERT_EQ(wire::ReadFrame(fd, reply), wire::ReadStatus::Ok);
  ASSERT_TRUE(wire::WriteAll(
      fd, CallFrame(wire::FrameType::ExecuteCommand, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2")));
  close(fd);
  for (int i = 0; i < 100 && Stored() != "1|1|0\n1|2|1\n2|1|1\n"; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Stored(), "1|1|0\n1|2|1\n2|1|1\n");
  EXPECT_EQ(ReadFile(FAudit).find("/* bad */"), std::string::npos) << "a half-sent command was logged";
}

// A client that asks for many rows and then vanishes, or stops reading, holds the
// server up no longer than its timeout; others are served meanwhile.
TEST_F(LocalServerFixture, VanishingAndSlowReadersAreDropped) {
  const auto server = StartServer({"--client-timeout-ms", "1000"});
  const std::vector<std::uint8_t> query = CallFrame(
      wire::FrameType::OpenQuery,
      u"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000) SELECT x, x || 'abc' FROM c");
  for (const bool vanish : {true, false}) {
    const int fd = ServerProcess::Connect(FSocket);
    ASSERT_TRUE(wire::WriteAll(fd, Join({HelloFrame(), query})));
    wire::Frame frame;
    ASSERT_EQ(wire::ReadFrame(fd, frame), wire::ReadStatus::Ok);
    EXPECT_EQ(frame.Type, wire::FrameType::HelloReply);
    if (vanish) close(fd);
    // Served while the other connection is stuck or gone.
    EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"), "ok");
    EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"), "ok");
    if (!vanish) {
      std::this_thread::sleep_for(2500ms);
      // What was already in the socket can still be read, then the stream just
      // ends: no End frame, the reader was dropped.
      bool sawEnd = false;
      timeval tv{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      wire::ReadStatus status;
      while ((status = wire::ReadFrame(fd, frame)) == wire::ReadStatus::Ok) sawEnd |= frame.Type == wire::FrameType::End;
      EXPECT_FALSE(sawEnd);
      EXPECT_NE(status, wire::ReadStatus::TimedOut);
      close(fd);
    }
  }
}

// Several operators' probes at once through one server: every toggle returns, and
// every one that returned is stored and logged.
TEST_F(LocalServerFixture, TwoOperatorsFiveHundredTogglesEach) {
  const auto server = StartServer();
  const std::string go = FDir.File("go");
  std::vector<int> pids;
  std::vector<std::string> outputs;
  for (const char* row : {"0", "1"}) {
    outputs.push_back(FDir.File(std::string("probe") + row + ".out"));
    pids.push_back(StartProcess(VELMORA_TOGGLE_PROBE, {"--start-when", go, "--repeat", "500", row},
                                {{"VELMORA_REGISTRY", (FDir.Path() / "local").string()},
                                 {"VELMORA_DATABASE", "/nonexistent/never-used.db"}},
                                outputs.back()));
  }
  WriteFile(go, "");
  std::vector<std::string> lastLines;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    const ProcessResult result = WaitProcess(pids[i], outputs[i]);
    const std::vector<std::string> lines = SplitLines(result.Output);
    ASSERT_EQ(lines.size(), 500u) << result.Output.substr(0, 400);
    for (const std::string& line : lines) ASSERT_EQ(line.rfind("ok ", 0), 0u) << line;
    lastLines.push_back(lines.back());
  }
  // 500 switches of each box bring it back where it was; the audit log holds
  // every one of them.
  EXPECT_EQ(lastLines[0], "ok 1/1 0");
  EXPECT_EQ(lastLines[1], "ok 1/2 0");
  EXPECT_EQ(Stored(), "1|1|0\n1|2|0\n2|1|1\n");
  std::size_t commands = 0;
  for (const std::string& line : SplitLines(ReadFile(FAudit))) {
    if (line.find("\tExecuteCommand\tok\t") != std::string::npos) ++commands;
  }
  EXPECT_EQ(commands, 1000u);
}

// A database server through ODBC behind the local server: the server's environment
// alone names it (the client's names none), and the answers are those of the
// module in process.
TEST_F(LocalServerFixture, ServesAPostgresDatabase) {
  std::string reason;
  const std::string postgres = PostgresServer(reason);
  if (postgres.empty()) GTEST_SKIP() << reason;
  PostgresDatabase db(postgres);
  db.Connection().Exec(kPostgresControllersSchema);
  db.Connection().Exec("INSERT INTO controllers VALUES (1, 1, 0, 'North gate', 0), (1, 2, 7, 'Süd-Tor', NULL),"
                       " (2, 1, 9, 'Dock', 1)");
  std::map<std::string, std::string> env = ServerEnv();
  env["VELMORA_DATABASE"] = "";  // removed
  env["VELMORA_ODBC"] = db.ConnectionString();
  ServerProcess server(FSocket, env);
  server.Start();

  const std::u16string toggle = u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2";
  const std::u16string missing = u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 9 and Controller = 9";
  unsetenv("VELMORA_DATABASE");
  setenv("VELMORA_ODBC", db.ConnectionString().c_str(), 1);
  UseInProcess();
  const std::string list = QueryState(ListQuery());
  const std::string failed = CommandOutcome(missing);
  const std::string syntax = QueryState(u"SELEC 1");
  // The client's own settings point nowhere: only the server's count.
  setenv("VELMORA_ODBC", "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=nowhere", 1);
  UseLocalServer();
  EXPECT_EQ(QueryState(ListQuery()), list);
  EXPECT_EQ(CommandOutcome(missing), failed);
  EXPECT_EQ(QueryState(u"SELEC 1"), syntax);
  EXPECT_EQ(CommandOutcome(toggle), "ok");
  unsetenv("VELMORA_ODBC");
  EXPECT_EQ(db.Connection().Dump("SELECT site, controller, connectarden FROM controllers ORDER BY 1, 2"),
            "1|1|0\n1|2|1\n2|1|1\n");
  EXPECT_NE(list.find("North gate"), std::string::npos) << list;
}

// Started as systemd starts it: the listening socket on fd 3, LISTEN_FDS and
// LISTEN_PID naming this process, no --socket.
TEST_F(LocalServerFixture, TakesTheSocketFromSystemd) {
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, FSocket.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  const std::map<std::string, std::string> env = ServerEnv();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(listener, 3);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", "1", 1);
    execl(VELMORA_HARDWARE_SERVER, VELMORA_HARDWARE_SERVER, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(listener);
  EXPECT_EQ(CommandOutcome(u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"), "ok");
  EXPECT_EQ(Stored(), "1|1|1\n1|2|NULL\n2|1|1\n");
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  // The socket is systemd's: the server leaves it where it is.
  EXPECT_TRUE(std::filesystem::exists(FSocket));
}

// The host table grows by Size: a module takes the caller's name from a host that
// offers it, and still serves a host from before the member existed.
TEST_F(LocalServerFixture, ModuleTakesTheCallerFromHostsThatOfferIt) {
  void* module = dlopen(VELMORA_HARDWARE_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  const auto entry = reinterpret_cast<VelmoraGetClassObjectFn>(dlsym(module, kGetClassObjectSymbol));
  ASSERT_NE(entry, nullptr);
  static const auto setErrorInfo = [](const char16_t*, std::size_t) {};
  static const auto caller = []() -> const char* { return "alice\tforged"; };
  static const auto nobody = []() -> const char* { return nullptr; };
  struct Case {
    const char* Name;
    VelmoraHostApi Host;
    std::string User;  // as the audit line must name it
  };
  const Case cases[] = {
      {"a host from before CallerName", {offsetof(VelmoraHostApi, CallerName), setErrorInfo, nullptr}, ""},
      {"a host without a caller to name", {sizeof(VelmoraHostApi), setErrorInfo, nobody}, ""},
      {"a local server's host", {sizeof(VelmoraHostApi), setErrorInfo, caller}, "alice\\tforged"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(FAudit);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(entry(&c.Host, &CLSID_Hardware, &IClassFactory::IID, factory.PutVoid()), S_OK) << c.Name;
    ComPtr<IHardwareService> service;
    ASSERT_EQ(factory->CreateInstance(nullptr, IHardwareService::IID, service.PutVoid()), S_OK) << c.Name;
    EXPECT_EQ(service->ExecuteCommand(u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"),
              S_OK) << c.Name;
    const std::vector<std::string> fields = [&] {
      std::vector<std::string> out;
      std::stringstream line(SplitLines(ReadFile(FAudit)).at(0));
      for (std::string field; std::getline(line, field, '\t');) out.push_back(field);
      return out;
    }();
    ASSERT_GE(fields.size(), 2u) << c.Name;
    EXPECT_EQ(fields[1], c.User.empty() ? std::string(getpwuid(geteuid())->pw_name) : c.User) << c.Name;
  }
}

}  // namespace
}  // namespace velmora::test

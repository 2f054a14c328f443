// What only the ODBC backend has: a database server that can end a session, be
// unreachable, freeze, hold a lock or be named wrongly, the driver's own
// diagnostics for each, and texts that read differently to a naive splitter than
// to the server.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>

#include "backend_database.h"
#include "server_test_support.h"
#include "service/hardware_service.h"
#include "service/utf.h"

namespace velmora::test {
namespace {

class OdbcServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    VELMORA_MAKE_BACKEND_DATABASE(FDb, kPostgres, FDir);
    FDb->Use();
    FDb->CreateControllers({"(1, 1, 0, 'North gate reader', 0)", "(1, 2, 7, 'Boiler room panel 3', 1)"});
  }
  void TearDown() override { CoUninitialize(); }

  static std::string Failure(bool command, const std::u16string& text) {
    try {
      const ComPtr<IHardwareService> service = CoHardware::Create();
      if (command) {
        ExecuteCommand(*service, text);
      } else {
        const ComPtr<IRecordset> recordset = OpenQuery(*service, text).As<IRecordset>();
        DumpRecordset(*recordset);
      }
    } catch (const OleError& e) {
      return e.what();
    }
    return "";
  }

  // Ends every other session on the test's database, as an administrator's
  // pg_terminate_backend or a server restart does.
  void EndServiceSessions() {
    FDb->Dump("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
              "WHERE datname = current_database() AND pid <> pg_backend_pid()");
  }

  std::string Flags() { return FDb->Dump("SELECT ConnectArden FROM Controllers ORDER BY Site, Controller"); }

  TempDir FDir;
  std::unique_ptr<BackendDatabase> FDb;
};

TEST_F(OdbcServiceTest, AnEndedSessionIsMadeAnewAndNoCallIsLost) {
  const std::u16string update = u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1";
  EXPECT_EQ(Failure(false, ListQuery()), "");  // the service's connection exists
  EndServiceSessions();
  // The call that meets the dead connection runs again on a new one.
  EXPECT_EQ(Failure(true, update), "");
  EXPECT_EQ(Flags(), "1\n1\n");
  EndServiceSessions();
  EXPECT_EQ(Failure(false, ListQuery()), "");
  EndServiceSessions();
  EXPECT_EQ(Failure(true, u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 2"), "");
  EXPECT_EQ(Flags(), "1\n0\n");
}

TEST_F(OdbcServiceTest, ServersThatCannotServeFailWithTheDriversDiagnostic) {
  std::string reason;
  const std::string server = PostgresServer(reason);
  const auto portAt = server.find("Port=") + 5;
  const std::string port = server.substr(portAt, server.find(';', portAt) - portAt);
  struct Case {
    const char* Label;
    std::string ConnectionString;
    std::string Message;
  } cases[] = {
      {"no server listening", "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Uid=postgres;Database=x",
       "connection to server at \"127.0.0.1\", port 1 failed: Connection refused\n"
       "\tIs the server running on that host and accepting TCP/IP connections? (SQLSTATE 08001)"},
      {"no such database", server + ";Database=velmora_missing",
       "connection to server at \"127.0.0.1\", port " + port +
           " failed: FATAL:  database \"velmora_missing\" does not exist (SQLSTATE 08001)"},
      {"no such data source", "DSN=velmora_missing_dsn",
       "[unixODBC][Driver Manager]Data source name not found and no default driver specified (SQLSTATE IM002)"},
  };
  const std::string before = Flags();
  for (const Case& c : cases) {
    setenv("VELMORA_ODBC", c.ConnectionString.c_str(), 1);
    EXPECT_EQ(Failure(false, ListQuery()), c.Message) << c.Label;
    EXPECT_EQ(Failure(true, u"UPDATE Controllers SET ConnectArden=1"), c.Message) << c.Label;
  }
  EXPECT_EQ(Flags(), before);
}

TEST_F(OdbcServiceTest, TheEnvironmentNamesOneDatabase) {
  setenv("VELMORA_DATABASE", FDir.File("controllers.db").c_str(), 1);
  EXPECT_EQ(Failure(false, ListQuery()),
            "the hardware service is not configured correctly: VELMORA_DATABASE and VELMORA_ODBC are both set; "
            "the environment names one database");
}


// The same cases on both servers: PostgreSQL through psqlODBC, MariaDB through
// MariaDB Connector/ODBC.
class OdbcBackendTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    VELMORA_MAKE_BACKEND_DATABASE(FDb, GetParam(), FDir);
    FDb->Use();
    FDb->CreateControllers({"(1, 1, 0, 'North gate reader', 0)", "(1, 2, 7, 'Boiler room panel 3', 1)",
                            "(2, 1, 30, 'Loading dock B door', 0)"});
  }
  void TearDown() override { CoUninitialize(); }

  bool Postgres() const { return FDb->IsPostgres(); }

  static std::string FailureOf(bool command, std::u16string_view text) {
    try {
      const ComPtr<IHardwareService> service = CoHardware::Create();
      if (command) {
        ExecuteCommand(*service, text);
      } else {
        DumpRecordset(*OpenQuery(*service, text).As<IRecordset>());
      }
    } catch (const OleError& e) {
      return e.what();
    }
    return "";
  }

  std::string Stored() { return FDb->Dump("SELECT * FROM Controllers ORDER BY Site, Controller"); }
  // The list as the utility loads it, through the service.
  static std::string Listed() {
    const ComPtr<IHardwareService> service = CoHardware::Create();
    return DumpRecordset(*OpenQuery(*service, ListQuery()).As<IRecordset>());
  }

  TempDir FDir;
  std::unique_ptr<BackendDatabase> FDb;
};

INSTANTIATE_TEST_SUITE_P(Servers, OdbcBackendTest, ::testing::Values(kPostgres, kMariadb),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

constexpr const char* kList =
    "1|1|Arden|North gate reader|0\n1|2|Arden-NX|Boiler room panel 3|1\n2|1|TM770A|Loading dock B door|0\n";

// Texts written to make the service or the server do more than their one
// statement. Each is refused or harmless: the rows stay as they were, and the
// list that follows is the real table's, through the same cached connection.
TEST_P(OdbcBackendTest, HostileTextsAreRefusedOrHarmless) {
  constexpr const char* kBoth = "";
  constexpr const char* kRefusedTwo = "the query text holds more than one statement";
  constexpr const char* kRefusedTwoCommands =
      "the command text holds more than one statement; the server is handed one at a time";
  constexpr const char* kOwn =
      "a command runs as one transaction of its own and may not hold BEGIN, COMMIT, END or ROLLBACK";
  struct Case {
    const char* Label;
    const char* Only;  // kPostgres, kMariadb, or both
    bool Command;
    std::u16string Text;
    const char* Failure;  // a part of the message (case and '-' aside); "" for success
  } cases[] = {
      {"second statement after a dollar quote", kPostgres, false, u"SELECT $$;$$; DELETE FROM Controllers",
       kRefusedTwo},
      {"semicolon inside a dollar quote is one statement", kPostgres, false, u"SELECT $a$ ; DELETE FROM x; $a$",
       ""},
      {"hidden COMMIT after a tagged dollar quote", kPostgres, true,
       u"UPDATE Controllers SET ConnectArden=1 WHERE Description <> $t$;$t$; COMMIT", kOwn},
      {"nested comment hides its semicolons", kPostgres, false, u"SELECT 1 /* /* */ ; DELETE FROM Controllers; */",
       ""},
      {"non-nested comment ends early", kMariadb, false, u"SELECT 1 /* /* */ ; DELETE FROM Controllers; /* */",
       kRefusedTwo},
      {"backslash read either way", kBoth, false, u"SELECT 'a\\'; DELETE FROM Controllers; -- '", kRefusedTwo},
      {"E string escapes its quote", kPostgres, false, u"SELECT E'\\'; DELETE FROM Controllers; --'", ""},
      {"executable comment is code", kMariadb, false, u"SELECT 1 /*! ; DELETE FROM Controllers */", kRefusedTwo},
      {"two commands", kBoth, true, u"DELETE FROM Controllers WHERE Site = 2; DELETE FROM Controllers",
       kRefusedTwoCommands},
      {"DELETE through OpenQuery", kBoth, false, u"DELETE FROM Controllers", "read only"},
      {"DELETE RETURNING through OpenQuery", kPostgres, false, u"DELETE FROM Controllers RETURNING Site", "read only"},
      {"data-modifying WITH through OpenQuery", kPostgres, false,
       u"WITH d AS (DELETE FROM Controllers RETURNING Site) SELECT count(*) FROM d", "read only"},
      {"DROP TABLE through OpenQuery", kPostgres, false, u"DROP TABLE Controllers", "read only"},
      // MariaDB commits before a DROP or CREATE whatever the transaction says.
      {"DROP TABLE through OpenQuery, committing by itself", kMariadb, false, u"DROP TABLE Controllers",
       "DROP commits by itself"},
      {"DROP TABLE as a command, committing by itself", kMariadb, true, u"DROP TABLE Controllers",
       "DROP commits by itself"},
      {"TRUNCATE as a command, committing by itself", kMariadb, true, u"TRUNCATE TABLE Controllers",
       "TRUNCATE commits by itself"},
      {"BEGIN through OpenQuery", kBoth, false, u"BEGIN", kOwn},
      {"START TRANSACTION in a command", kBoth, true, u"START TRANSACTION", kOwn},
      {"COMMIT in a command", kBoth, true, u"COMMIT", kOwn},
      {"SAVEPOINT in a command", kBoth, true, u"SAVEPOINT s", kOwn},
      {"SET of the session", kBoth, true, u"SET autocommit = 1", "SET statements are refused"},
      {"search_path turned away by a function", kPostgres, false,
       u"SELECT set_config('search_path', 'pg_catalog', false)", ""},
      {"statement bound lifted by a function", kPostgres, false, u"SELECT set_config('statement_timeout', '0', false)",
       ""},
      {"session made read-only for commands", kPostgres, false,
       u"SELECT set_config('default_transaction_read_only', 'on', false)", ""},
      {"temporary table named like the real one", kBoth, true,
       u"CREATE TEMPORARY TABLE Controllers (Site integer, Controller integer, ControllerType integer, "
       u"Description varchar(255), ConnectArden integer)",
       "CREATE TEMPORARY statements are refused"},
      {"temporary table by its schema's name", kPostgres, true,
       u"CREATE TABLE pg_temp.controllers AS SELECT site, controller, 9 AS controllertype, 'shadow' AS description, "
       u"1 AS connectarden FROM controllers",
       ""},
      {"another default database", kMariadb, true, u"USE mysql", "USE statements are refused"},
      {"table locks kept for later calls", kMariadb, true, u"LOCK TABLES Controllers READ",
       "LOCK statements are refused"},
      {"a file written by the server", kMariadb, false, u"SELECT * FROM Controllers INTO OUTFILE '/tmp/velmora-x'",
       "INTO OUTFILE statements are refused"},
      {"a client file read into the table", kMariadb, true,
       u"LOAD DATA LOCAL INFILE '/etc/hostname' INTO TABLE Controllers", "LOAD statements are refused"},
      {"a server file copied in", kPostgres, true, u"COPY controllers FROM '/etc/hostname'",
       "COPY statements are refused"},
      {"WITH UPDATE of no row", kPostgres, true,
       u"WITH x AS (SELECT 9 AS s) UPDATE Controllers SET ConnectArden = 1 WHERE Site IN (SELECT s FROM x)",
       "No controller matched"},
      {"DELETE of no row", kBoth, true, u"DELETE FROM Controllers WHERE Site = 9", "No controller matched"},
      {"a bracket in a dollar quote is text", kPostgres, false, u"SELECT $$[Site]$$ AS [Label]", ""},
  };
  const std::string before = Stored();
  for (const Case& c : cases) {
    if (*c.Only != '\0' && FDb->Backend() != c.Only) continue;
    const std::string failure = FailureOf(c.Command, c.Text);
    if (*c.Failure == '\0') {
      EXPECT_EQ(failure, "") << c.Label;
    } else {
      std::string plain = failure;
      for (char& ch : plain) ch = ch == '-' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      std::string expected = c.Failure;
      for (char& ch : expected) ch = ch == '-' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      EXPECT_NE(plain.find(expected), std::string::npos) << c.Label << ": " << failure;
    }
    EXPECT_EQ(Stored(), before) << c.Label;
    EXPECT_EQ(Listed(), kList) << c.Label;
  }
  // And the session still writes, with its bounds back in force.
  EXPECT_EQ(FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 2 and Controller = 1"), "");
  EXPECT_EQ(FDb->Dump("SELECT ConnectArden FROM Controllers WHERE Site = 2"), "1\n");
}

// A MySQL-family driver counts by default the rows whose value changed: a write
// of the value already stored (another operator set it first) must still count.
TEST_P(OdbcBackendTest, AWriteOfTheValueAlreadyStoredSucceeds) {
  EXPECT_EQ(FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2"), "");
  EXPECT_EQ(FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2"), "");
  // A site's own OPTION value is kept, with found rows added.
  setenv("VELMORA_ODBC", (FDb->ServiceEnvironment().at("VELMORA_ODBC") + ";OPTION=0").c_str(), 1);
  EXPECT_EQ(FailureOf(true, u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"), "");
  EXPECT_NE(FailureOf(true, u"UPDATE Controllers SET ConnectArden=0 WHERE Site = 7 and Controller = 1"), "");
  EXPECT_EQ(Stored(),
            "1|1|0|North gate reader|0\n1|2|7|Boiler room panel 3|1\n2|1|30|Loading dock B door|0\n");
}

// A row another session holds: the write waits the lock bound, fails with the
// server's own message, changes nothing, and the next write goes through.
TEST_P(OdbcBackendTest, ARowLockIsWaitedForAtMostTheLockBound) {
  setenv("VELMORA_BUSY_TIMEOUT_MS", "1000", 1);
  OdbcDatabase& holder = *FDb->Odbc();
  holder.Begin();
  holder.Exec("UPDATE Controllers SET Description = 'held' WHERE Site = 1 AND Controller = 1");
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_NE(failure.find(Postgres() ? "lock timeout" : "Lock wait timeout exceeded"), std::string::npos) << failure;
  // Bounded, not the server's own default of a minute or more.
  EXPECT_LT(waited, std::chrono::seconds(20));
  holder.Rollback();
  EXPECT_EQ(FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"), "");
  EXPECT_EQ(FDb->Dump("SELECT Description, ConnectArden FROM Controllers WHERE Site = 1 AND Controller = 1"),
            "North gate reader|1\n");
}

// A statement that runs for ever is stopped at the statement bound, by the server.
TEST_P(OdbcBackendTest, AStatementIsStoppedAtTheStatementBound) {
  setenv("VELMORA_STATEMENT_TIMEOUT_MS", "1500", 1);
  struct Case {
    const char* Label;
    bool Command;
    std::u16string Text;
  } cases[] = {
      {"sleep", false, Postgres() ? u"SELECT pg_sleep(60)" : u"SELECT SLEEP(60)"},
      // (MariaDB ends a recursion itself at max_recursive_iterations.)
      {"endless recursion", false,
       Postgres() ? u"WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT count(*) FROM r"
                  : u"SELECT SUM(a.seq * b.seq) FROM seq_1_to_1000000 a, seq_1_to_1000000 b"},
      {"endless command", true,
       Postgres() ? u"UPDATE Controllers SET ConnectArden = 1 WHERE pg_sleep(60) IS NOT NULL"
                  : u"UPDATE Controllers SET ConnectArden = 1 WHERE SLEEP(60) = 0"},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const std::string failure = FailureOf(c.Command, c.Text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.Label;
    EXPECT_NE(failure.find(Postgres() ? "statement timeout" : "max_statement_time"), std::string::npos)
        << c.Label << ": " << failure;
    EXPECT_EQ(Listed(), kList) << c.Label;
  }
}

// A port that takes the connection and then never says a word: the login is given
// up at its bound, whatever the driver's own timeouts do.
TEST_P(OdbcBackendTest, AServerThatNeverAnswersTheLoginIsGivenUp) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const std::string silent = Postgres() ? "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + port +
                                              ";Uid=postgres;Database=x"
                                        : "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" + port + ";Uid=x";
  setenv("VELMORA_ODBC", silent.c_str(), 1);
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = FailureOf(false, ListQuery());
  const auto waited = std::chrono::steady_clock::now() - start;
  close(listener);
  EXPECT_NE(failure, "");
  EXPECT_GE(waited, std::chrono::seconds(1));  // it did reach the listener and wait
  EXPECT_LT(waited, std::chrono::seconds(40));
  // The right server again: served at once.
  FDb->Use();
  EXPECT_EQ(Listed(), kList);
}

// A server process that stops answering in the middle of a session (SIGSTOP on
// the PostgreSQL backend serving the service; on a MariaDB server of the test's
// own, whose one process serves every session): the call returns at its bound,
// the connection is given up, and the next call, once the server answers again,
// is served by a new session.
TEST_P(OdbcBackendTest, AFrozenSessionIsGivenUpAtItsBound) {
  setenv("VELMORA_STATEMENT_TIMEOUT_MS", "1500", 1);
  std::unique_ptr<MariadbDatabase> own;
  const std::string ownServer = FDir.File("mariadb");
  pid_t frozen = 0;
  if (Postgres()) {
    EXPECT_EQ(Listed(), kList);
    const std::string pid = FDb->Dump("SELECT pid FROM pg_stat_activity WHERE datname = current_database() "
                                      "AND pid <> pg_backend_pid()");
    ASSERT_FALSE(pid.empty());
    frozen = static_cast<pid_t>(std::stol(pid));
  } else {
    const ProcessResult started = RunProcess(VELMORA_MARIADB_SCRIPT, {"start", ownServer});
    ASSERT_EQ(started.ExitCode, 0) << started.Output;
    own = std::make_unique<MariadbDatabase>(SplitLines(ReadFile(ownServer + "/odbc.txt")).at(0));
    own->Connection().Exec(kMariadbControllersSchema);
    own->Connection().Exec("INSERT INTO Controllers VALUES (1, 1, 0, 'North gate reader', 0), "
                           "(1, 2, 7, 'Boiler room panel 3', 1), (2, 1, 30, 'Loading dock B door', 0)");
    setenv("VELMORA_ODBC", own->ConnectionString().c_str(), 1);
    EXPECT_EQ(Listed(), kList);
    frozen = static_cast<pid_t>(std::stol(ReadFile(ownServer + "/pid")));
  }
  ASSERT_EQ(kill(frozen, SIGSTOP), 0);
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_NE(failure.find("did not answer"), std::string::npos) << failure;
  EXPECT_LT(waited, std::chrono::seconds(30));
  if (Postgres()) {
    // Another session serves the next call while the frozen one is still stopped.
    EXPECT_EQ(Listed(), kList);
  }
  kill(frozen, SIGCONT);
  EXPECT_EQ(FailureOf(true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"), "");
  EXPECT_EQ(Listed(), "1|1|Arden|North gate reader|1\n1|2|Arden-NX|Boiler room panel 3|1\n"
                      "2|1|TM770A|Loading dock B door|0\n");
  if (own) {
    own.reset();
    RunProcess(VELMORA_MARIADB_SCRIPT, {"stop", ownServer});
  }
}

}  // namespace
}  // namespace velmora::test

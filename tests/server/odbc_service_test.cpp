// What only the ODBC backend has: a database server that can end a session, be
// unreachable, or be named wrongly, and the driver's own diagnostics for each.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmora::test

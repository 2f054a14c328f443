// Texts written to harm the database, the process or other operators, sent as any
// client could send them. Each is refused or harmless: the file keeps every byte
// and passes its integrity check, the connection still answers the list query
// truthfully, and the audit log has the text's line.

#include <gtest/gtest.h>

#include <filesystem>

#include "server_test_support.h"
#include "service/hardware_service.h"
#include "service/utf.h"

namespace velmora::test {
namespace {

constexpr const char* kRows[] = {
    "(1, 1, 0, 'North gate reader', 0)",
    "(1, 2, 7, 'Boiler room panel 3', 1)",
    "(2, 1, 30, 'Loading dock B door', 0)",
};

// text with every "@" replaced by dir.
std::string At(std::string text, const std::string& dir) {
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size())) {
    text.replace(at, 1, dir);
  }
  return text;
}

class HostileTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    FDatabase = FDir.File("controllers.db");
    FAudit = FDir.File("audit.log");
    setenv("VELMORA_DATABASE", FDatabase.c_str(), 1);
    setenv("VELMORA_AUDIT_LOG", FAudit.c_str(), 1);
    setenv("VELMORA_STATEMENT_TIMEOUT_MS", "300", 1);
    CreateControllersDb(FDatabase, {std::begin(kRows), std::end(kRows)});
  }
  void TearDown() override { CoUninitialize(); }

  // The failure of the call; "" when it worked (a query's rows are read to the end).
  static std::string Run(bool command, const std::u16string& text) {
    try {
      const ComPtr<IHardwareService> service = CoHardware::Create();
      if (command) {
        ExecuteCommand(*service, text);
      } else {
        const ComPtr<IRecordset> recordset = OpenQuery(*service, text).As<IRecordset>();
        if (!recordset) return "no record set";
        DumpRecordset(*recordset);
      }
    } catch (const OleError& e) {
      return e.what();
    }
    return "";
  }

  // The outcome field of the audit log's last line, and its text field.
  std::pair<std::string, std::string> LastAuditLine() const {
    const std::vector<std::string> lines = SplitLines(ReadFile(FAudit));
    if (lines.empty()) return {"no line", ""};
    const std::string& last = lines.back();
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
      const std::size_t tab = last.find('\t', start);
      fields.push_back(last.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() != 5) return {"malformed line: " + last, ""};
    return {fields[3], fields[4]};
  }

  TempDir FDir;
  std::string FDatabase;
  std::string FAudit;
};

TEST_F(HostileTextTest, EveryHostileTextIsRefusedAndLeavesTheFileAsItWas) {
  struct Case {
    const char* Label;
    bool Command;       // ExecuteCommand, else OpenQuery
    const char* Text;   // "@" stands for the test's folder
    const char* Reason; // what the failure must say (a part of it)
  } cases[] = {
      {"tokenizer pointer read", false, "SELECT hex(fts3_tokenizer('simple'))", "fts3_tokenizer is refused"},
      {"tokenizer pointer written", false, "SELECT fts3_tokenizer('simple', x'4141414141414141')",
       "fts3_tokenizer is refused"},
      {"extension loading", false, "SELECT load_extension('@/evil.so')", "load_extension is refused"},
      {"copy of the file elsewhere", true, "VACUUM INTO '@/copy.db'", "VACUUM is refused"},
      {"copy through a query", false, "VACUUM INTO '@/copy.db'", "a query may only read"},
      {"rewrite of the file", true, "VACUUM", "VACUUM is refused"},
      {"another file attached", true, "ATTACH '@/copy.db' AS other", "ATTACH and DETACH are refused"},
      {"another file attached by a query", false, "ATTACH '@/copy.db' AS other", "ATTACH and DETACH are refused"},
      {"detach", true, "DETACH main", "ATTACH and DETACH are refused"},
      {"delete through a query", false, "DELETE FROM Controllers RETURNING *", "a query may only read"},
      {"drop through a query", false, "DROP TABLE Controllers", "a query may only read"},
      {"index rebuild through a query", false, "REINDEX", "a query may only read"},
      {"transaction opened by a query", false, "BEGIN", "may not hold BEGIN"},
      {"transaction opened by a command", true, "BEGIN IMMEDIATE; UPDATE Controllers SET ConnectArden = 1",
       "may not hold BEGIN"},
      {"savepoint", true, "SAVEPOINT s; UPDATE Controllers SET ConnectArden = 1", "may not hold BEGIN"},
      {"commit inside a command", true, "UPDATE Controllers SET ConnectArden = 1; COMMIT", "may not hold BEGIN"},
      {"temporary shadow table", true,
       "CREATE TEMP TABLE Controllers(Site, Controller, ControllerType, Description, ConnectArden)",
       "temporary tables, views, indexes and triggers are refused"},
      {"shadow table named by schema", true, "CREATE TABLE temp.Controllers(Site)",
       "temporary tables, views, indexes and triggers are refused"},
      {"temporary view", true, "CREATE TEMP VIEW Controllers AS SELECT 1 AS Site",
       "temporary tables, views, indexes and triggers are refused"},
      {"temporary trigger", true,
       "CREATE TEMP TRIGGER swallow BEFORE UPDATE ON Controllers BEGIN SELECT RAISE(IGNORE); END",
       "temporary tables, views, indexes and triggers are refused"},
      {"durability off", true, "PRAGMA synchronous=OFF", "PRAGMA synchronous = OFF is refused"},
      {"durability off by a query", false, "PRAGMA synchronous=OFF", "PRAGMA synchronous = OFF is refused"},
      {"writable schema", true, "PRAGMA writable_schema=ON", "PRAGMA writable_schema = ON is refused"},
      {"journal switched", true, "PRAGMA journal_mode=WAL", "PRAGMA journal_mode = WAL is refused"},
      {"journal off", false, "PRAGMA journal_mode=OFF", "PRAGMA journal_mode = OFF is refused"},
      {"temporary files elsewhere", true, "PRAGMA temp_store_directory='@'", "is refused"},
      {"schema rewritten", true, "UPDATE sqlite_master SET sql = 'CREATE TABLE Controllers(x)'",
       "may not be modified"},
      {"endless recursion in a query", false,
       "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT count(*) FROM r",
       "ran longer than the statement_timeout of 300 ms"},
      {"endless recursion holding the write lock", true,
       "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
       "UPDATE Controllers SET Description = (SELECT count(*) FROM r)",
       "ran longer than the statement_timeout of 300 ms"},
      {"memory exhausted by values", false,
       "SELECT length(randomblob(999999999)), length(randomblob(999999999)), length(randomblob(999999999))",
       "string or blob too big"},
      {"memory exhausted by a blob of zeros", true,
       "UPDATE Controllers SET Description = zeroblob(999999999) WHERE Site = 1", "string or blob too big"},
      {"a second statement after the query", false, "SELECT 1; DROP TABLE Controllers",
       "the query text holds more than one statement"},
  };
  const std::string dir = FDir.Path().string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    const std::string before = ReadFile(FDatabase);
    const std::string list = Run(false, ListQuery());
    ASSERT_EQ(list, "");
    const std::u16string text = Utf8ToUtf16(At(c.Text, dir));

    const std::string failure = Run(c.Command, text);
    EXPECT_NE(failure.find(c.Reason), std::string::npos) << failure;

    EXPECT_EQ(ReadFile(FDatabase), before) << "the file changed";
    EXPECT_FALSE(std::filesystem::exists(dir + "/copy.db"));
    const auto [outcome, logged] = LastAuditLine();
    EXPECT_EQ(outcome, "failed: " + failure);
    EXPECT_EQ(logged, At(c.Text, dir));
    // The connection still answers, from the file and in autocommit: a write-back
    // works and is stored.
    EXPECT_EQ(Run(true, u"UPDATE Controllers SET ConnectArden = ConnectArden WHERE Site = 1 AND Controller = 1"),
              "");
    SqliteFile db(FDatabase, SQLITE_OPEN_READONLY);
    EXPECT_EQ(db.Dump("PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(db.Dump("SELECT count(*) FROM Controllers"), "3\n");
    EXPECT_EQ(db.Dump("PRAGMA journal_mode"), "delete\n");
  }
}

TEST_F(HostileTextTest, TextsThatOnlyReadStillWork) {
  struct Case {
    const char* Label;
    const char* Text;
    const char* Rows;
  } cases[] = {
      {"columns of a table", "SELECT name FROM pragma_table_info('Controllers') ORDER BY cid",
       "Site\nController\nControllerType\nDescription\nConnectArden\n"},
      {"the same as a PRAGMA", "PRAGMA table_info(Controllers)", nullptr},
      {"the file's own state", "PRAGMA user_version", "0\n"},
      {"the integrity check", "PRAGMA integrity_check", "ok\n"},
      {"a bounded recursion", "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 1000) "
                              "SELECT count(*) FROM r",
       "1000\n"},
      {"a value of a mebibyte", "SELECT length(randomblob(1048576))", "1048576\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    const std::string before = ReadFile(FDatabase);
    const ComPtr<IRecordset> recordset = OpenQuery(*CoHardware::Create(), Utf8ToUtf16(c.Text)).As<IRecordset>();
    ASSERT_TRUE(recordset);
    const std::string rows = DumpRecordset(*recordset);
    if (c.Rows) {
      EXPECT_EQ(rows, c.Rows);
    }
    EXPECT_EQ(ReadFile(FDatabase), before);
    EXPECT_EQ(LastAuditLine().first, "ok");
  }
}

}  // namespace
}  // namespace velmora::test

// velmora-demo-db: the same rows for the same count, every type code, the odd rows
// a real installation has, and no file replaced unless asked.

#include <gtest/gtest.h>

#include <set>

#include "server_test_support.h"
#include "service/hardware_service.h"

namespace velmora::test {
namespace {

constexpr const char* kAllRows = "SELECT * FROM Controllers ORDER BY Site, Controller";

ProcessResult DemoDb(const std::vector<std::string>& args) { return RunProcess(VELMORA_DEMO_DB, args); }

std::size_t CodePoints(const std::string& utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

TEST(DemoDb, SameCountGivesTheSameRows) {
  TempDir dir;
  const std::string first = dir.File("first.db");
  const std::string second = dir.File("second.db");
  ASSERT_EQ(DemoDb({first, "--rows", "1000"}).ExitCode, 0);
  ASSERT_EQ(DemoDb({second, "--rows", "1000"}).ExitCode, 0);
  EXPECT_EQ(SqliteFile(first).Dump(kAllRows), SqliteFile(second).Dump(kAllRows));
}

TEST(DemoDb, HoldsEveryTypeCodeAndTheOddRowsOfARealInstallation) {
  TempDir dir;
  const std::string file = dir.File("demo.db");
  const ProcessResult result = DemoDb({file, "--rows", "2000"});
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output, "velmora-demo-db: wrote 2000 controllers on 40 sites to " + file + "\n");

  SqliteFile db(file);
  EXPECT_EQ(db.Dump("SELECT sql FROM sqlite_master WHERE name = 'Controllers'"), std::string(kControllersSchema) + "\n");
  EXPECT_EQ(db.Dump("PRAGMA journal_mode"), "wal\n");
  EXPECT_EQ(db.Dump("SELECT count(*), min(Site), max(Site), min(Controller), max(Controller) FROM Controllers"),
            "2000|1|40|1|50\n");

  std::set<int> codes;
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.Handle(), "SELECT ControllerType, Description, ConnectArden FROM Controllers", -1,
                               &statement, nullptr),
            SQLITE_OK);
  int nullDescriptions = 0, foreign = 0, nullFlags = 0, set = 0, rows = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    ++rows;
    codes.insert(sqlite3_column_int(statement, 0));
    if (sqlite3_column_type(statement, 1) == SQLITE_NULL) {
      ++nullDescriptions;
    } else {
      const std::string text(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                             sqlite3_column_bytes(statement, 1));
      EXPECT_GE(CodePoints(text), 12u) << text;
      EXPECT_LE(CodePoints(text), 60u) << text;
      if (CodePoints(text) != text.size()) ++foreign;
    }
    if (sqlite3_column_type(statement, 2) == SQLITE_NULL) ++nullFlags;
    else set += sqlite3_column_int(statement, 2);
  }
  sqlite3_finalize(statement);
  EXPECT_EQ(codes, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 25, 30, 32, 40, 41}));
  // About 3 % unnamed, 2 % non-ASCII, 2 % unset flags, 15 % of the rest set.
  EXPECT_GT(nullDescriptions, rows / 100);
  EXPECT_LT(nullDescriptions, rows * 6 / 100);
  EXPECT_GT(foreign, rows / 200);
  EXPECT_LT(foreign, rows * 4 / 100);
  EXPECT_GT(nullFlags, rows / 200);
  EXPECT_LT(nullFlags, rows * 4 / 100);
  EXPECT_GT(set, rows * 10 / 100);
  EXPECT_LT(set, rows * 20 / 100);
}

TEST(DemoDb, ReplacesAFileOnlyWhenForced) {
  TempDir dir;
  const std::string file = dir.File("precious.db");
  WriteFile(file, "not to be lost");
  const ProcessResult refused = DemoDb({file});
  EXPECT_EQ(refused.ExitCode, 1);
  EXPECT_EQ(refused.Output, "velmora-demo-db: " + file + " exists; give --force to replace it\n");
  EXPECT_EQ(ReadFile(file), "not to be lost");

  ASSERT_EQ(DemoDb({file, "--force", "--rows", "120"}).ExitCode, 0);
  EXPECT_EQ(SqliteFile(file).Dump("SELECT count(*) FROM Controllers"), "120\n");
  EXPECT_FALSE(std::filesystem::exists(file + ".partial"));
}

TEST(DemoDb, WrongArgumentsChangeNothing) {
  TempDir dir;
  const std::string file = dir.File("demo.db");
  struct Case {
    const char* Label;
    std::vector<std::string> Args;
  } cases[] = {
      {"no file", {}},
      {"count not a number", {file, "--rows", "many"}},
      {"negative count", {file, "--rows", "-5"}},
      {"count missing", {file, "--rows"}},
      {"unknown option", {file, "--fast"}},
      {"two files", {file, file + "2"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DemoDb(c.Args).ExitCode, 2) << c.Label;
    EXPECT_FALSE(std::filesystem::exists(file)) << c.Label;
  }
}

TEST(DemoDb, ServiceListsTheDemoInKeyOrder) {
  UseTestEnvironment();
  TempDir dir;
  const std::string file = dir.File("demo.db");
  ASSERT_EQ(DemoDb({file}).ExitCode, 0);
  setenv("VELMORA_DATABASE", file.c_str(), 1);
  CoInitialize();
  const ComPtr<IRecordset> recordset = OpenQuery(*CoHardware::Create(), ListQuery()).As<IRecordset>();
  ASSERT_TRUE(recordset);
  const std::vector<std::string> lines = SplitLines(DumpRecordset(*recordset));
  CoUninitialize();

  ASSERT_EQ(lines.size(), 200u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string key = std::to_string(i / 50 + 1) + "|" + std::to_string(i % 50 + 1) + "|";
    EXPECT_EQ(lines[i].substr(0, key.size()), key) << "row " << i;
  }
}

}  // namespace
}  // namespace velmora::test

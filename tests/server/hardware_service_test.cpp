// The shipped hardware service through the real path: the build tree's
// registration, CoHardware::Create, the client's OpenQuery and ExecuteCommand.
// What every backend must do runs once per backend (BackendServiceTest, on an
// SQLite file and on PostgreSQL through ODBC); what only one has, once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "backend_database.h"
#include "server_test_support.h"
#include "service/hardware_service.h"
#include "service/registry.h"
#include "service/utf.h"

namespace velmora::test {
namespace {

using namespace std::string_literals;

// The client's calls, as the utility makes them: a new service object for each.
struct ServiceCalls {
  static ComPtr<IHardwareService> Service() { return CoHardware::Create(); }

  static ComPtr<IRecordset> Query(std::u16string_view text) {
    ComPtr<IRecordset> recordset = OpenQuery(*Service(), text).As<IRecordset>();
    if (!recordset) throw std::runtime_error("OpenQuery result offers no IRecordset");
    return recordset;
  }
  static std::string QueryDump(std::u16string_view text) { return DumpRecordset(*Query(text)); }
  static void Execute(std::u16string_view text) { ExecuteCommand(*Service(), text); }

  // The message of the OleError that fn throws; "" when it throws none.
  template <class Fn>
  static std::string FailureOf(Fn fn) {
    try {
      fn();
    } catch (const OleError& e) {
      return e.what();
    }
    return "";
  }

  static std::u16string WriteBack(int value, int site, int controller) {
    char text[128];
    std::snprintf(text, sizeof text, "UPDATE Controllers SET ConnectArden=%d WHERE Site = %d and Controller = %d",
                  value, site, controller);
    return Utf8ToUtf16(text);
  }
};

class HardwareServiceTest : public ::testing::Test, protected ServiceCalls {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    FDatabase = FDir.File("controllers.db");
    UseDatabase(FDatabase);
  }
  void TearDown() override { CoUninitialize(); }

  static void UseDatabase(const std::string& path) { setenv("VELMORA_DATABASE", path.c_str(), 1); }

  std::string Stored(const std::string& where = "") {
    SqliteFile db(FDatabase, SQLITE_OPEN_READONLY);
    return db.Dump("SELECT * FROM Controllers " + where + " ORDER BY Site, Controller");
  }

  TempDir FDir;
  std::string FDatabase;
};

constexpr const char* kSmallTable[] = {
    "(1, 1, 0, 'North gate reader', 0)",
    "(1, 2, 7, 'Boiler room panel 3', 1)",
    "(2, 1, 30, 'Loading dock B door', 0)",
};

TEST_F(HardwareServiceTest, WriteBackSurvivesClosingAndReopening) {
  CreateControllersDb(FDatabase, {std::begin(kSmallTable), std::end(kSmallTable)});
  // In WAL mode the last connection to close removes the log: a sign it closed.
  SqliteFile(FDatabase).Exec("PRAGMA journal_mode=WAL");
  Execute(WriteBack(1, 1, 1));
  Execute(WriteBack(0, 1, 2));

  // Pointing the process at another file closes the service's connection to this one.
  const std::string other = FDir.File("other.db");
  CreateControllersDb(other, {});
  UseDatabase(other);
  QueryDump(ListQuery());
  EXPECT_FALSE(std::filesystem::exists(FDatabase + "-wal")) << "the connection was not closed";

  SqliteFile db(FDatabase, SQLITE_OPEN_READONLY);
  EXPECT_EQ(db.Dump("SELECT * FROM Controllers ORDER BY Site, Controller"),
            "1|1|0|North gate reader|1\n"
            "1|2|7|Boiler room panel 3|0\n"
            "2|1|30|Loading dock B door|0\n");
  // The service keeps the file's own journal mode.
  EXPECT_EQ(db.Dump("PRAGMA journal_mode"), "wal\n");
}

TEST_F(HardwareServiceTest, FollowsTheFileItsNameLeadsTo) {
  CreateControllersDb(FDatabase, {std::begin(kSmallTable), std::end(kSmallTable)});
  QueryDump(ListQuery());

  // A restored copy put in place of the open file: the service must work on the copy.
  const std::string copy = FDir.File("restored.db");
  CreateControllersDb(copy, {"(7, 1, 9, 'Restored hub', 0)"});
  std::filesystem::rename(copy, FDatabase);
  Execute(WriteBack(1, 7, 1));
  EXPECT_EQ(Stored(), "7|1|9|Restored hub|1\n");

  // And a removed file is missing, not silently served from the open handle.
  std::filesystem::remove(FDatabase);
  EXPECT_EQ(FailureOf([&] { Query(ListQuery()); }), "unable to open database file: " + FDatabase + " does not exist");
}

TEST_F(HardwareServiceTest, DatabaseFilesThatCannotServeFailAndStayAsTheyWere) {
  struct Case {
    const char* Label;
    std::string Content;  // nullopt-like: "" means no file at all
    bool Directory;
    std::string Message;  // after "<path>" substitution below
  } cases[] = {
      {"missing", "", false, "unable to open database file: @ does not exist"},
      {"not a database", std::string(4096, 'x'), false, "file is not a database"},
      {"directory", "", true, "unable to open database file: @ is a directory"},
  };
  for (const Case& c : cases) {
    const std::string path = FDir.File(std::string("case-") + c.Label + ".db");
    if (c.Directory) std::filesystem::create_directory(path);
    if (!c.Content.empty()) WriteFile(path, c.Content);
    UseDatabase(path);
    std::string message = c.Message;
    if (const auto at = message.find('@'); at != std::string::npos) message.replace(at, 1, path);

    EXPECT_EQ(FailureOf([&] { Query(ListQuery()); }), message) << c.Label;
    EXPECT_EQ(FailureOf([&] { Execute(WriteBack(1, 1, 1)); }), message) << c.Label;
    EXPECT_EQ(std::filesystem::exists(path), c.Directory || !c.Content.empty()) << c.Label;
    if (!c.Content.empty()) {
      EXPECT_EQ(ReadFile(path), c.Content) << c.Label;
    }
    EXPECT_FALSE(std::filesystem::exists(path + "-wal")) << c.Label;
    EXPECT_FALSE(std::filesystem::exists(path + "-journal")) << c.Label;
  }
}

TEST_F(HardwareServiceTest, AZeroByteFileStaysZeroBytes) {
  WriteFile(FDatabase, "");
  EXPECT_EQ(FailureOf([&] { Query(ListQuery()); }), "no such table: Controllers");
  EXPECT_EQ(FailureOf([&] { Execute(WriteBack(1, 1, 1)); }), "no such table: Controllers");
  EXPECT_EQ(std::filesystem::file_size(FDatabase), 0u);
  EXPECT_FALSE(std::filesystem::exists(FDatabase + "-wal"));
}

// Which statements count as changes that changed nothing, on tables and views of
// forms that sites have.
TEST_F(HardwareServiceTest, ACommandThatChangesNoRowFailsAndOneThatChangesThroughATriggerSucceeds) {
  constexpr const char* kNoRow =
      "No controller matched the update: no row has that site and controller, so nothing was changed";
  struct Case {
    const char* Label;
    const char* Schema;  // with the rows
    const char* Text;
    const char* Failure;  // "" for success
    const char* Stored;   // SELECT Site, Controller, ConnectArden FROM the stored rows, afterwards
  } cases[] = {
      {"the value already stored", "", "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2", "",
       "1|1|0\n1|2|1\n2|1|0\n"},
      {"WITH before an UPDATE that matches nothing", "",
       "WITH k(s) AS (SELECT 9) UPDATE Controllers SET ConnectArden=1 WHERE Site = (SELECT s FROM k)", kNoRow,
       "1|1|0\n1|2|1\n2|1|0\n"},
      {"WITH before an UPDATE that matches", "",
       "WITH k(s) AS (SELECT 2) UPDATE Controllers SET ConnectArden=1 WHERE Site = (SELECT s FROM k)", "",
       "1|1|0\n1|2|1\n2|1|1\n"},
      {"a DELETE of nothing", "", "DELETE FROM Controllers WHERE Site = 9", kNoRow, "1|1|0\n1|2|1\n2|1|0\n"},
      {"an INSERT of nothing", "", "INSERT INTO Controllers SELECT * FROM Controllers WHERE Site = 9", kNoRow,
       "1|1|0\n1|2|1\n2|1|0\n"},
      {"a query in a command", "", "SELECT count(*) FROM Controllers", "", "1|1|0\n1|2|1\n2|1|0\n"},
      {"a view with an INSTEAD OF trigger",
       "ALTER TABLE Controllers RENAME TO Stored;"
       "CREATE VIEW Controllers AS SELECT * FROM Stored;"
       "CREATE TRIGGER Toggle INSTEAD OF UPDATE ON Controllers BEGIN "
       "UPDATE Stored SET ConnectArden = NEW.ConnectArden WHERE Site = OLD.Site AND Controller = OLD.Controller; END",
       "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1", "", "1|1|1\n1|2|1\n2|1|0\n"},
      {"a view whose trigger matches nothing",
       "ALTER TABLE Controllers RENAME TO Stored;"
       "CREATE VIEW Controllers AS SELECT * FROM Stored;"
       "CREATE TRIGGER Toggle INSTEAD OF UPDATE ON Controllers BEGIN "
       "UPDATE Stored SET ConnectArden = NEW.ConnectArden WHERE Site = OLD.Site AND Controller = OLD.Controller; END",
       "UPDATE Controllers SET ConnectArden=1 WHERE Site = 7 and Controller = 1", kNoRow, "1|1|0\n1|2|1\n2|1|0\n"},
      // A key held as text in an untyped column is not the number the client
      // sends: SQLite compares them as unequal, and the service does not guess.
      {"a site stored as text in an untyped column",
       "CREATE TABLE Stored AS SELECT * FROM Controllers; DROP TABLE Controllers;"
       "CREATE TABLE Controllers (Site, Controller, ControllerType, Description, ConnectArden);"
       "INSERT INTO Controllers SELECT CAST(Site AS TEXT), Controller, ControllerType, Description, ConnectArden "
       "FROM Stored; DROP TABLE Stored",
       "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1", kNoRow,
       "1|1|0\n1|2|1\n2|1|0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    FDatabase = FDir.File(std::string(c.Label) + ".db");
    UseDatabase(FDatabase);
    CreateControllersDb(FDatabase, {std::begin(kSmallTable), std::end(kSmallTable)});
    if (*c.Schema) SqliteFile(FDatabase).Exec(c.Schema);
    EXPECT_EQ(FailureOf([&] { Execute(Utf8ToUtf16(c.Text)); }), c.Failure);
    SqliteFile db(FDatabase, SQLITE_OPEN_READONLY);
    const bool view = std::string(c.Schema).find("VIEW") != std::string::npos;
    EXPECT_EQ(db.Dump(std::string("SELECT Site, Controller, ConnectArden FROM ") + (view ? "Stored" : "Controllers") +
                      " ORDER BY Site, Controller"),
              c.Stored);
  }
}

TEST_F(HardwareServiceTest, ReadOnlyDatabaseLoadsButRefusesWriteBack) {
  CreateControllersDb(FDatabase, {std::begin(kSmallTable), std::end(kSmallTable)});
  const std::string before = Stored();
  std::filesystem::permissions(FDatabase, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                              std::filesystem::perms::others_read);
  // Root writes any file whatever its mode, so the client runs as nobody then; the
  // folder must let nobody in (but not write: no journal may appear).
  std::filesystem::permissions(FDir.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                                std::filesystem::perms::others_exec);
  std::vector<std::string> args;
  if (geteuid() == 0) args.push_back("--as-nobody");
  const std::string query = Utf16ToUtf8(ListQuery());
  const std::string update = Utf16ToUtf8(WriteBack(1, 1, 1));
  args.insert(args.end(), {"query", query, "command", update, "query", query});
  // Each creation reads the registration again, so it too must be where nobody may
  // read it: the build tree may lie in a folder nobody cannot enter.
  const std::filesystem::path registry = std::filesystem::path(FDir.Path()) / "registry";
  std::filesystem::create_directory(registry);
  const std::string registration = RegistrationFileName(CLSID_Hardware);
  std::filesystem::copy_file(std::filesystem::path(VELMORA_TEST_REGISTRY) / registration, registry / registration);
  const ProcessResult result = RunProcess(VELMORA_SERVICE_PROBE, args,
                                          {{"VELMORA_DATABASE", FDatabase}, {"VELMORA_REGISTRY", registry.string()}});
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_EQ(result.Output, "ok 3\nfailed: attempt to write a readonly database\nok 3\n");
  EXPECT_EQ(Stored(), before);
}

// Holds the write lock of the database in a connection of its own, on a thread of
// its own, until released.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    FThread = std::thread([this, path] {
      SqliteFile db(path);
      db.Exec("BEGIN EXCLUSIVE");
      db.Exec("UPDATE Controllers SET Description = 'held' WHERE Site = 2");
      FLocked.set_value();
      FRelease.get_future().wait();
      db.Exec("COMMIT");
    });
    FLocked.get_future().wait();
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  ~LockHolder() {
    Release();
    FThread.join();
  }
  void Release() {
    if (!FReleased.exchange(true)) FRelease.set_value();
  }

 private:
  std::promise<void> FLocked;
  std::promise<void> FRelease;
  std::atomic<bool> FReleased{false};
  std::thread FThread;
};

TEST_F(HardwareServiceTest, WriteBackWaitsForAShortLock) {
  CreateControllersDb(FDatabase, {std::begin(kSmallTable), std::end(kSmallTable)});
  QueryDump(ListQuery());  // the service's connection exists
  {
    LockHolder holder(FDatabase);
    // Released well within the default wait of five seconds.
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      holder.Release();
    });
    EXPECT_EQ(FailureOf([&] { Execute(WriteBack(1, 1, 1)); }), "");
    releaser.join();
  }
  EXPECT_EQ(Stored(), "1|1|0|North gate reader|1\n1|2|7|Boiler room panel 3|1\n2|1|30|held|0\n");
}

TEST_F(HardwareServiceTest, WriteBackFailsWhenTheLockOutlastsTheWait) {
  setenv("VELMORA_BUSY_TIMEOUT_MS", "50", 1);
  struct Case {
    const char* Journal;
    const char* ReadDuringLock;  // the list query's failure while another connection writes; "": none
  } cases[] = {
      {"wal", ""},  // readers are not held up by a writer
      {"delete", "database is locked"},
  };
  for (const Case& c : cases) {
    FDatabase = FDir.File(std::string(c.Journal) + ".db");
    UseDatabase(FDatabase);
    CreateControllersDb(FDatabase, {std::begin(kSmallTable), std::end(kSmallTable)});
    SqliteFile(FDatabase).Exec("PRAGMA journal_mode=" + std::string(c.Journal));
    const std::string list = QueryDump(ListQuery());
    {
      LockHolder holder(FDatabase);
      EXPECT_EQ(FailureOf([&] { Execute(WriteBack(1, 1, 1)); }), "database is locked") << c.Journal;
      EXPECT_EQ(FailureOf([&] { EXPECT_EQ(QueryDump(ListQuery()), list); }), c.ReadDuringLock) << c.Journal;
    }
    EXPECT_EQ(Stored(), "1|1|0|North gate reader|0\n1|2|7|Boiler room panel 3|1\n2|1|30|held|0\n") << c.Journal;
    // Nothing of the failed attempt is left behind to block the next one.
    Execute(WriteBack(1, 1, 1));
    EXPECT_EQ(Stored("WHERE Site = 1 AND Controller = 1"), "1|1|0|North gate reader|1\n") << c.Journal;
  }
}


// The same cases on every backend: an SQLite file, and PostgreSQL through ODBC.
class BackendServiceTest : public ::testing::TestWithParam<const char*>, protected ServiceCalls {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    VELMORA_MAKE_BACKEND_DATABASE(FDb, GetParam(), FDir);
    FDb->Use();
  }
  void TearDown() override { CoUninitialize(); }

  BackendDatabase& Db() { return *FDb; }
  bool Sqlite() const { return FDb->IsSqlite(); }

  std::string Stored(const std::string& where = "") {
    return FDb->Dump("SELECT * FROM Controllers " + where + " ORDER BY Site, Controller");
  }

  TempDir FDir;
  std::unique_ptr<BackendDatabase> FDb;
};

INSTANTIATE_TEST_SUITE_P(Backends, BackendServiceTest, ::testing::Values(kSqlite, kPostgres, kMariadb),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(BackendServiceTest, ListQueryLabelsEveryTypeCodeAndKeepsNullsAndText) {
  struct Case {
    int Code;
    const char* Label;  // nullptr: the list shows no type
  } cases[] = {
      {0, "Arden"},        {3, "Arden"},        {1, "Arden-L"}, {4, "Arden-L"},  {2, "Arden-N"},
      {5, "Arden-N"},      {7, "Arden-NX"},     {8, "Arden-R4"}, {9, "Kestrel-Hub"}, {11, "HX210-77040"},
      {25, "QV8810"},      {30, "TM770A"},      {32, "TM790A"}, {40, "TM950A"},  {41, "QV8830"},
      {13, "Z7-RT"},       {6, nullptr},        {10, nullptr},  {12, nullptr},
  };
  // Inserted in reverse, so only the query's ORDER BY can give the key order.
  std::vector<std::string> rows;
  std::string expected;
  const std::string descriptions[] = {"Z\xC3\xBCrich Lagerhalle Tor 2", "\xD7\xA9\xD7\xA2\xD7\xA8 \xD7\xA6\xD7\xA4\xD7\x95\xD7\x9F",
                                      "Loading dock B door"};
  int controller = 0;
  for (const Case& c : cases) {
    ++controller;
    const std::string& description = descriptions[controller % 3];
    // Every fourth row has no description and every fifth no flag.
    const bool nullDescription = controller % 4 == 0;
    const bool nullFlag = controller % 5 == 0;
    rows.insert(rows.begin(), "(1, " + std::to_string(controller) + ", " + std::to_string(c.Code) + ", " +
                                  (nullDescription ? "NULL" : "'" + description + "'") + ", " +
                                  (nullFlag ? "NULL" : std::to_string(controller % 2)) + ")");
    expected += "1|" + std::to_string(controller) + "|" + (c.Label ? c.Label : "NULL") + "|" +
                (nullDescription ? "NULL" : description) + "|" + (nullFlag ? "NULL" : std::to_string(controller % 2)) +
                "\n";
  }
  rows.insert(rows.begin(), "(2, 1, 0, 'Second site', 1)");
  expected += "2|1|Arden|Second site|1\n";
  Db().CreateControllers(rows);

  const ComPtr<IRecordset> recordset = Query(ListQuery());
  // PostgreSQL folds the unquoted names to lower case; the client finds fields by
  // name whatever their case. The bracketed aliases keep theirs everywhere.
  EXPECT_EQ(FieldNames(*recordset),
            !FDb->FoldsNames() ? (std::vector<std::string>{"Site", "Controller", "Controller Type", "Description", "Disabled"})
                     : (std::vector<std::string>{"site", "controller", "Controller Type", "description", "Disabled"}));
  std::vector<IRecordset::FieldKind> kinds;
  for (std::int32_t i = 0; i < 5; ++i) {
    IRecordset::FieldKind kind{};
    ASSERT_EQ(recordset->GetFieldKind(i, &kind), S_OK);
    kinds.push_back(kind);
  }
  using K = IRecordset::FieldKind;
  // SQLite gives an expression no declared type; a server types the CASE as text.
  EXPECT_EQ(kinds, (std::vector<K>{K::Integer, K::Integer, Sqlite() ? K::Other : K::Text, K::Text, K::Integer}));
  EXPECT_EQ(DumpRecordset(*recordset), expected);
}

TEST_P(BackendServiceTest, RecordsetMovesAndRefusesWhatItCannotDo) {
  Db().CreateControllers({std::begin(kSmallTable), std::end(kSmallTable)});
  const ComPtr<IRecordset> recordset = Query(u"SELECT Site, Controller FROM Controllers ORDER BY Site, Controller");
  std::int32_t state = -1;
  ASSERT_EQ(recordset->GetState(&state), S_OK);
  EXPECT_EQ(state, IRecordset::kStateOpen);

  // Positioned on the first row at once; MoveFirst there changes nothing.
  ASSERT_EQ(recordset->MoveFirst(), S_OK);
  EXPECT_EQ(DumpRecordset(*recordset), "1|1\n1|2\n2|1\n");
  bool eof = false;
  ASSERT_EQ(recordset->GetEOF(&eof), S_OK);
  EXPECT_TRUE(eof);
  EXPECT_LT(recordset->MoveNext(), 0);
  Variant value;
  EXPECT_LT(recordset->GetValue(0, &value), 0);

  // Back to the start after reading past the end.
  ASSERT_EQ(recordset->MoveFirst(), S_OK);
  ASSERT_EQ(recordset->GetValue(1, &value), S_OK);
  EXPECT_EQ(value.Type, Variant::Kind::Integer);
  EXPECT_EQ(value.Integer, 1);
  EXPECT_EQ(recordset->GetValue(2, &value), E_INVALIDARG);
  EXPECT_EQ(recordset->GetValue(-1, &value), E_INVALIDARG);
  std::u16string name;
  EXPECT_EQ(recordset->GetFieldName(2, &name), E_INVALIDARG);
  EXPECT_EQ(recordset->GetValue(0, nullptr), E_POINTER);

  ASSERT_EQ(recordset->Close(), S_OK);
  ASSERT_EQ(recordset->GetState(&state), S_OK);
  EXPECT_EQ(state, IRecordset::kStateClosed);
  EXPECT_LT(recordset->GetValue(0, &value), 0);
  EXPECT_EQ(recordset->Close(), S_OK);
}

TEST_P(BackendServiceTest, EmptyResultIsAtEndAtOnce) {
  Db().CreateControllers({});
  const ComPtr<IRecordset> recordset = Query(ListQuery());
  bool eof = false;
  ASSERT_EQ(recordset->GetEOF(&eof), S_OK);
  EXPECT_TRUE(eof);
  EXPECT_EQ(FieldNames(*recordset).size(), 5u);
}

TEST_P(BackendServiceTest, ManyRowsArriveWholeAcrossFetchBlocks) {
  // More rows than any block holds, with nulls and long texts at and around the
  // blocks' edges, so that no row of a block boundary is lost, doubled or mixed up.
  constexpr int kRows = 2600;
  std::string insert;
  std::string expected;
  for (int i = 0; i < kRows; ++i) {
    const int site = i / 50 + 1, controller = i % 50 + 1;
    const bool nullDescription = i % 255 == 0 || i % 256 == 0 || i % 1024 == 1023;
    const bool nullFlag = i % 7 == 3;
    const std::string description = "Door " + std::to_string(i) + (i % 97 == 0 ? std::string(240, 'x') : "");
    insert += std::string(insert.empty() ? "" : ",") + "(" + std::to_string(site) + "," + std::to_string(controller) +
              ",9," + (nullDescription ? "NULL" : "'" + description + "'") + "," +
              (nullFlag ? "NULL" : std::to_string(i % 2)) + ")";
    expected += std::to_string(site) + "|" + std::to_string(controller) + "|Kestrel-Hub|" +
                (nullDescription ? "NULL" : description) + "|" + (nullFlag ? "NULL" : std::to_string(i % 2)) + "\n";
  }
  Db().CreateControllers({});
  Db().Exec("INSERT INTO Controllers VALUES " + insert);
  EXPECT_EQ(QueryDump(ListQuery()), expected);
}

TEST_P(BackendServiceTest, LongTextsArriveWholeAndUnchanged) {
  struct Case {
    const char* Label;
    std::string Text;
  } cases[] = {
      {"empty", ""},
      {"short", "North gate"},
      {"one past the bound width", std::string(256, 'a')},
      {"far past it", std::string(70000, 'b') + "end"},
      // Two bytes in UTF-8, one unit in UTF-16; four bytes, two units.
      {"non-ASCII past it", [] {
         std::string s;
         for (int i = 0; i < 300; ++i) s += "\xC3\xBC\xF0\x9F\x94\x91";
         return s;
       }()},
  };
  Db().Exec("CREATE TABLE notes (id integer, body " + Db().LongTextType() + ")");
  std::string expected;
  int id = 0;
  for (const Case& c : cases) {
    Db().Exec("INSERT INTO notes VALUES (" + std::to_string(++id) + ", '" + c.Text + "')");
    expected += std::to_string(id) + "|" + c.Text + "\n";
  }
  Db().Exec("INSERT INTO notes VALUES (" + std::to_string(++id) + ", NULL)");
  expected += std::to_string(id) + "|NULL\n";
  const std::string got = QueryDump(u"SELECT id, body FROM notes ORDER BY id");
  EXPECT_EQ(got, expected);
  // Asked for twice, a value is the same: the text read past the binding is kept.
  const ComPtr<IRecordset> recordset = Query(u"SELECT body FROM notes WHERE id = 4");
  Variant first, second;
  ASSERT_EQ(recordset->GetValue(0, &first), S_OK);
  const std::string firstText = first.Type == Variant::Kind::WideText ? Utf16ToUtf8(first.WideText) : std::string(first.Text);
  ASSERT_EQ(recordset->GetValue(0, &second), S_OK);
  const std::string secondText = second.Type == Variant::Kind::WideText ? Utf16ToUtf8(second.WideText) : std::string(second.Text);
  EXPECT_EQ(firstText.size(), 70003u);
  EXPECT_EQ(firstText, secondText);
}

TEST_P(BackendServiceTest, BracketedNamesAreTheOnlyThingRewritten) {
  Db().CreateControllers({std::begin(kSmallTable), std::end(kSmallTable)});
  // Brackets inside literals and comments stay as they are; a quote inside a
  // bracketed name is part of the name.
  const ComPtr<IRecordset> recordset =
      Query(u"SELECT '[Site]' AS [Label], 'it''s [x] -- no comment' AS [Say \"hi\"] -- [gone]\r\n"
            u"/* [Site] */ FROM Controllers WHERE Site = 2");
  EXPECT_EQ(FieldNames(*recordset), (std::vector<std::string>{"Label", "Say \"hi\""}));
  EXPECT_EQ(DumpRecordset(*recordset), "[Site]|it's [x] -- no comment\n");
}

TEST_P(BackendServiceTest, WriteBackIsStoredWhenItReturns) {
  Db().CreateControllers({std::begin(kSmallTable), std::end(kSmallTable)});
  Execute(WriteBack(1, 1, 1));
  Execute(WriteBack(0, 1, 2));
  // Read by a connection of the test's own: committed, not just visible to the service.
  EXPECT_EQ(Stored(),
            "1|1|0|North gate reader|1\n"
            "1|2|7|Boiler room panel 3|0\n"
            "2|1|30|Loading dock B door|0\n");
}

TEST_P(BackendServiceTest, UpdateOfRemovedControllerFailsAndChangesNothing) {
  Db().CreateControllers({std::begin(kSmallTable), std::end(kSmallTable)});
  const std::string before = Stored();
  Db().Exec("DELETE FROM Controllers WHERE Site = 2");
  const std::string afterDelete = Stored();

  EXPECT_EQ(FailureOf([&] { Execute(WriteBack(1, 2, 1)); }),
            "No controller matched the update: no row has that site and controller, so nothing was changed");
  EXPECT_EQ(Stored(), afterDelete);

  // A text is one transaction: the first statement's change goes with the second's
  // failure. A server is handed one statement per text, so there it is refused whole.
  EXPECT_EQ(FailureOf([&] { Execute(WriteBack(1, 1, 1) + u";\r\n" + WriteBack(1, 2, 1)); }),
            Sqlite() ? "No controller matched the update: no row has that site and controller, so nothing was changed"
                     : "the command text holds more than one statement; the server is handed one at a time");
  EXPECT_EQ(Stored(), afterDelete);
  EXPECT_NE(before, afterDelete);

  // And the connection is left fit for the next write.
  Execute(WriteBack(1, 1, 1) + u";  \r\n  -- done\r\n");
  EXPECT_EQ(Stored("WHERE Site = 1 AND Controller = 1"), "1|1|0|North gate reader|1\n");
}

TEST_P(BackendServiceTest, FailuresArriveWithTheDatabasesOwnMessages) {
  Db().CreateControllers({std::begin(kSmallTable), std::end(kSmallTable)});
  struct Case {
    const char* Label;
    bool Command;
    std::u16string Text;
    const char* SqliteMessage;
    const char* PostgresMessage;  // psqlODBC's diagnostic and SQLSTATE
    // MariaDB Connector/ODBC's: <driver> is its "[ma-version][server version]", <db>
    // the test's database.
    const char* MariadbMessage;
  } cases[] = {
      {"missing table", false, u"SELECT * FROM Sites", "no such table: Sites",
       "ERROR: relation \"sites\" does not exist;\nError while preparing parameters (SQLSTATE 42P01)",
       "<driver>Table '<db>.Sites' doesn't exist (SQLSTATE 42S02)"},
      {"missing column", false, u"SELECT Site, Building FROM Controllers", "no such column: Building",
       "ERROR: column \"building\" does not exist;\nError while preparing parameters (SQLSTATE 42703)",
       "<driver>Unknown column 'Building' in 'SELECT' (SQLSTATE 42S22)"},
      {"syntax", false, u"SELEC Site FROM Controllers", "near \"SELEC\": syntax error",
       "ERROR: syntax error at or near \"SELEC\";\nError while preparing parameters (SQLSTATE 42601)",
       "<driver>You have an error in your SQL syntax; check the manual that "
       "corresponds to your MariaDB server version for the right syntax to use near 'SELEC Site FROM Controllers' "
       "at line 1 (SQLSTATE 42000)"},
      {"two queries", false, u"SELECT 1; SELECT 2", "the query text holds more than one statement",
       "the query text holds more than one statement", "the query text holds more than one statement"},
      {"no query", false, u"  \r\n", "the query text holds no statement", "the query text holds no statement",
       "the query text holds no statement"},
      {"command on missing table", true, u"UPDATE Sites SET Name = 'x'", "no such table: Sites",
       "ERROR: relation \"sites\" does not exist;\nError while preparing parameters (SQLSTATE 42P01)",
       "<driver>Table '<db>.Sites' doesn't exist (SQLSTATE 42S02)"},
      {"command on missing column", true, u"UPDATE Controllers SET Disabled=1 WHERE Site = 1",
       "no such column: Disabled",
       "ERROR: column \"disabled\" of relation \"controllers\" does not exist;\nError while preparing parameters "
       "(SQLSTATE 42703)",
       "<driver>Unknown column 'Disabled' in 'SET' (SQLSTATE 42S22)"},
      {"constraint", true, u"INSERT INTO Controllers VALUES (1, 1, 0, 'again', 0)",
       "UNIQUE constraint failed: Controllers.Site, Controllers.Controller",
       "ERROR: duplicate key value violates unique constraint \"controllers_pkey\"\nDETAIL: Key (site, "
       "controller)=(1, 1) already exists.;\nError while executing the query (SQLSTATE 23505)",
       "<driver>Duplicate entry '1-1' for key 'PRIMARY' (SQLSTATE 23000)"},
      {"own transaction", true, u"BEGIN; UPDATE Controllers SET ConnectArden=1; COMMIT",
       "a command runs as one transaction of its own and may not hold BEGIN, COMMIT, END or ROLLBACK",
       "a command runs as one transaction of its own and may not hold BEGIN, COMMIT, END or ROLLBACK",
       "a command runs as one transaction of its own and may not hold BEGIN, COMMIT, END or ROLLBACK"},
      {"no command", true, u" -- nothing\r\n", "the command text holds no statement",
       "the command text holds no statement", "the command text holds no statement"},
      // SQLite would stop at the NUL and never see the rest.
      {"NUL in query", false, u"SELECT 1\0; SELECT 2"s, "the text holds a NUL character",
       "the text holds a NUL character", "the text holds a NUL character"},
      {"NUL in command", true, u"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1\0 and Controller = 1"s,
       "the text holds a NUL character", "the text holds a NUL character", "the text holds a NUL character"},
  };
  const std::string before = Stored();
  for (const Case& c : cases) {
    std::string expected = Sqlite() ? c.SqliteMessage : FDb->IsPostgres() ? c.PostgresMessage : c.MariadbMessage;
    if (const auto at = expected.find("<db>"); at != std::string::npos) expected.replace(at, 4, FDb->DatabaseName());
    std::string got = FailureOf([&] { c.Command ? Execute(c.Text) : (void)Query(c.Text); });
    if (const auto at = expected.find("<driver>"); at != std::string::npos) {
      // The two bracketed versions, whatever they are on this machine.
      const auto second = got.find("][");
      const auto end = second == std::string::npos ? second : got.find(']', second + 2);
      if (got.starts_with("[ma-") && end != std::string::npos) got.replace(0, end + 1, "<driver>");
    }
    EXPECT_EQ(got, expected) << c.Label;
  }
  EXPECT_EQ(Stored(), before);
  // None of them left the connection unfit for work.
  Execute(WriteBack(1, 1, 1));
  EXPECT_EQ(Stored("WHERE Site = 1 AND Controller = 1"), "1|1|0|North gate reader|1\n");
}

TEST_P(BackendServiceTest, NullArgumentsAreRefused) {
  Db().CreateControllers({});
  const ComPtr<IHardwareService> service = Service();
  ComPtr<IUnknown> result;
  EXPECT_EQ(service->OpenQuery(u"SELECT 1", nullptr), E_POINTER);
  EXPECT_EQ(service->OpenQuery(std::u16string_view(), result.Put()), E_POINTER);
  EXPECT_EQ(service->ExecuteCommand(std::u16string_view()), E_POINTER);
  TakeErrorInfo();
}

TEST_P(BackendServiceTest, AuditLogHoldsTheTextsAsReceived) {
  Db().CreateControllers({std::begin(kSmallTable), std::end(kSmallTable)});
  const std::string log = FDir.File("audit.log");
  setenv("VELMORA_AUDIT_LOG", log.c_str(), 1);
  QueryDump(ListQuery());
  Execute(WriteBack(1, 1, 1));
  FailureOf([&] { Execute(WriteBack(1, 9, 9)); });
  const std::vector<std::string> lines = SplitLines(ReadFile(log));
  // Each text's line as it starts, then its outcome.
  ASSERT_EQ(lines.size(), 6u);
  const auto fields = [](const std::string& line) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
      const auto tab = line.find('\t', start);
      parts.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) return parts;
      start = tab + 1;
    }
  };
  // The list query's own brackets, CR LF and tab, whatever the server was sent.
  std::string escaped;
  for (const char c : Utf16ToUtf8(ListQuery())) {
    escaped += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : std::string(1, c);
  }
  EXPECT_EQ(fields(lines[0])[2] + " " + fields(lines[0])[3], "OpenQuery started");
  EXPECT_EQ(fields(lines[0])[4], escaped);
  const std::vector<std::string> query = fields(lines[1]);
  ASSERT_EQ(query.size(), 5u);
  EXPECT_EQ(query[2] + " " + query[3], "OpenQuery ok");
  EXPECT_EQ(query[4], escaped);
  EXPECT_NE(query[4].find("AS [Controller Type]"), std::string::npos);
  EXPECT_EQ(fields(lines[2])[3], "started");
  EXPECT_EQ(fields(lines[3])[3], "ok");
  EXPECT_EQ(fields(lines[4])[3], "started");
  EXPECT_EQ(fields(lines[5])[3],
            "failed: No controller matched the update: no row has that site and controller, so nothing was changed");
}

}  // namespace
}  // namespace velmora::test

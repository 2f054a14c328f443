// The window on the shipped SQLite service and real database files: every fault of
// the database and every odd row gives a clear box, the window stays usable, and
// the database holds what it should afterwards.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <QApplication>
#include <QStyleOptionViewItem>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "service/com.h"
#include "ui/qt/check_box_delegate.h"
#include "ui/qt/controller_model.h"
#include "ui/qt/grid_widget.h"
#include "ui/qt/main_window_widget.h"
#include "ui/qt/message_box.h"

namespace velmora::qt {
namespace {

namespace fs = std::filesystem;
constexpr int kDisabledColumn = 4;
constexpr const char* kSchema =
    "CREATE TABLE Controllers (Site, Controller, ControllerType INTEGER, Description TEXT, ConnectArden INTEGER)";

// Runs SQL on a file with a connection of the test's own.
void Sql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  const int opened = sqlite3_open(file.c_str(), &db);
  EXPECT_EQ(opened, SQLITE_OK) << file;
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << "\n" << sql;
  sqlite3_free(error);
  sqlite3_close(db);
}

// One value per row: "site/controller=ConnectArden" in table order, nulls as "-".
std::string Flags(const std::string& file) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);  // a failed open still holds its handle
    return "unreadable";
  }
  sqlite3_stmt* statement = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db,
                         "SELECT IFNULL(Site,'-') || '/' || IFNULL(Controller,'-') || '=' || "
                         "IFNULL(ConnectArden,'-') FROM Controllers ORDER BY rowid",
                         -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      if (!out.empty()) out += ' ';
      out += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
  } else {
    out = sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return out;
}

// Marks a file or folder immutable (even root may not change it) while alive.
class Immutable {
 public:
  explicit Immutable(const fs::path& path) : FPath(path) {
    FOk = std::system(("chattr +i '" + path.string() + "' 2>/dev/null").c_str()) == 0;
  }
  ~Immutable() {
    // Nothing to do if this fails but let the folder's removal report it.
    if (FOk && std::system(("chattr -i '" + FPath.string() + "'").c_str()) != 0) return;
  }
  bool Ok() const { return FOk; }

 private:
  fs::path FPath;
  bool FOk;
};

class ShippedServiceFixture : public ::testing::Test {
 protected:
  ShippedServiceFixture() {
    std::string pattern = (fs::temp_directory_path() / "velmora-shipped-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    database = (dir / "controllers.db").string();
    setenv("VELMORA_REGISTRY", VELMORA_SHIPPED_REGISTRY, 1);
    setenv("VELMORA_DATABASE", database.c_str(), 1);
    setenv("VELMORA_BUSY_TIMEOUT_MS", "200", 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_DIRS"}) {
      setenv(name, (dir / "xdg").c_str(), 1);
    }
    unsetenv("VELMORA_AUDIT_LOG");
    CoInitialize();
    MessageBox::SetInterceptor([this](const MessageBox::Shown& box) { boxes.push_back(box.Text.toStdString()); });
  }
  ~ShippedServiceFixture() override {
    window.reset();
    MessageBox::SetInterceptor(nullptr);
    CoUninitialize();
    unsetenv("VELMORA_BUSY_TIMEOUT_MS");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // A database of the given rows, each "(site, controller, type, description, flag)".
  void MakeDatabase(const std::string& rows, const std::string& schema = kSchema) {
    Sql(database, schema + std::string(";") + (rows.empty() ? "" : "INSERT INTO Controllers VALUES " + rows + ";"));
  }

  MainWindowWidget& Open() {
    window = std::make_unique<MainWindowWidget>();
    window->Create();
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return *window;
  }

  QModelIndex Cell(int row, int column) { return window->Model().index(row, column); }
  int Rows() { return window->Model().rowCount(); }
  Qt::CheckState CheckState(int row) {
    return Cell(row, kDisabledColumn).data(Qt::CheckStateRole).value<Qt::CheckState>();
  }
  // Every row as the grid shows it: "site|controller|type|description|check".
  std::string Shown() {
    std::string out;
    for (int r = 0; r < Rows(); ++r) {
      if (!out.empty()) out += '\n';
      for (int c = 0; c < 4; ++c) out += Cell(r, c).data().toString().toStdString() + "|";
      out += std::to_string(static_cast<int>(CheckState(r)));
    }
    return out;
  }

  void ClickCheckBox(int row) {
    GridWidget& grid = window->Grid();
    grid.scrollTo(Cell(row, kDisabledColumn));
    QStyleOptionViewItem option;
    option.initFrom(grid.viewport());
    option.rect = grid.visualRect(Cell(row, kDisabledColumn));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, CheckBoxDelegate::CheckRect(option, &grid).center());
  }

  // The window still works: the grid can take a toggle (when it has rows and the
  // database lets it) and Esc closes it.
  void ExpectUsableAndClose() {
    ASSERT_TRUE(window->isVisible());
    window->Grid().setFocus();
    QTest::keyClick(&window->Grid(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
  }

  fs::path dir;
  std::string database;
  std::vector<std::string> boxes;
  std::unique_ptr<MainWindowWidget> window;
};

constexpr const char* kTwoRows = "(1, 1, 0, 'Gate', 0), (1, 2, 9, 'Dock', 1)";

TEST_F(ShippedServiceFixture, DatabasesThatCannotBeReadGiveABoxAndStayAsTheyWere) {
  struct Case {
    const char* Label;
    std::function<void(const std::string& database)> Arrange;
    std::string Box;  // "@" stands for the database's path
    const char* After;  // Flags() of the file afterwards; nullptr: the file must not exist
  } cases[] = {
      {"file missing", [](const std::string&) {}, "unable to open database file: @ does not exist.", nullptr},
      {"not a database",
       [](const std::string& db) { std::ofstream(db) << "this is no database, just text\n"; },
       "file is not a database.", "file is not a database"},
      {"a folder where the file should be", [](const std::string& db) { fs::create_directory(db); },
       "unable to open database file: @ is a directory.", "unreadable"},
      {"table missing", [](const std::string& db) { Sql(db, "CREATE TABLE Other (x)"); },
       "no such table: Controllers.", "no such table: Controllers"},
      {"column missing",
       [](const std::string& db) {
         Sql(db, "CREATE TABLE Controllers (Site, Controller, ControllerType, Description); "
                         "INSERT INTO Controllers VALUES (1, 1, 0, 'Gate')");
       },
       "no such column: ConnectArden.", "no such column: ConnectArden"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    std::error_code ec;
    fs::remove_all(database, ec);
    boxes.clear();
    c.Arrange(database);
    Open();
    std::string box = c.Box;
    if (const auto at = box.find('@'); at != std::string::npos) box.replace(at, 1, database);
    EXPECT_EQ(boxes, (std::vector<std::string>{box}));
    EXPECT_EQ(Rows(), 0);
    if (c.After == nullptr) {
      EXPECT_FALSE(fs::exists(database));
    } else {
      EXPECT_EQ(Flags(database), c.After);
    }
    ExpectUsableAndClose();
  }
}

TEST_F(ShippedServiceFixture, AReadOnlyFileLoadsAndEveryWriteBackIsRefusedAndUndone) {
  MakeDatabase(kTwoRows);
  Immutable frozen(database);
  if (!frozen.Ok()) GTEST_SKIP() << "chattr +i is not available here";
  Open();
  ASSERT_EQ(Rows(), 2);
  ClickCheckBox(0);
  EXPECT_EQ(boxes, (std::vector<std::string>{"attempt to write a readonly database."}));
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
  EXPECT_EQ(Flags(database), "1/1=0 1/2=1");
  ExpectUsableAndClose();
}

TEST_F(ShippedServiceFixture, AReadOnlyFolderLoadsAndTheWriteBackIsRefusedAndUndone) {
  MakeDatabase(kTwoRows);
  Sql(database, "PRAGMA journal_mode=DELETE");
  Immutable frozen(dir);
  if (!frozen.Ok()) GTEST_SKIP() << "chattr +i is not available here";
  Open();
  ASSERT_EQ(Rows(), 2);
  ClickCheckBox(1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "unable to open database file.");
  EXPECT_EQ(CheckState(1), Qt::Checked);
  EXPECT_EQ(Flags(database), "1/1=0 1/2=1");
  ExpectUsableAndClose();
}

TEST_F(ShippedServiceFixture, ALockHeldPastTheWaitFailsTheToggleAndTheNextOneWorks) {
  MakeDatabase(kTwoRows);
  Open();
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(database.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  ClickCheckBox(0);
  EXPECT_EQ(boxes, (std::vector<std::string>{"database is locked."}));
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(Flags(database), "1/1=0 1/2=1");
  ClickCheckBox(0);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(CheckState(0), Qt::Checked);
  EXPECT_EQ(Flags(database), "1/1=1 1/2=1");
}

TEST_F(ShippedServiceFixture, ADiskFullDuringAWriteBackLosesNothing) {
  MakeDatabase(kTwoRows);
  Open();
  Sql(database, "PRAGMA wal_checkpoint(TRUNCATE)");
  // No file of this process may grow now: the write-back meets a full disk.
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit tiny = saved;
  tiny.rlim_cur = 1;
  setrlimit(RLIMIT_FSIZE, &tiny);
  ClickCheckBox(0);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "disk I/O error.");
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
  EXPECT_EQ(Flags(database), "1/1=0 1/2=1");
  Sql(database, "PRAGMA integrity_check");
  ClickCheckBox(0);  // with room again, the next toggle is stored
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Flags(database), "1/1=1 1/2=1");
}

TEST_F(ShippedServiceFixture, AControllerRemovedByAnotherOperatorIsNotReportedStored) {
  MakeDatabase(kTwoRows);
  Open();
  Sql(database, "DELETE FROM Controllers WHERE Site = 1 AND Controller = 1");
  ClickCheckBox(0);
  EXPECT_EQ(boxes, (std::vector<std::string>{
                       "No controller matched the update: no row has that site and controller, so nothing was changed."}));
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
  EXPECT_EQ(Flags(database), "1/2=1");
  ClickCheckBox(1);
  EXPECT_EQ(Flags(database), "1/2=0");
}

TEST_F(ShippedServiceFixture, OddRowsShowAsDecidedAndNeverMisdirectAWriteBack) {
  struct Case {
    const char* Label;
    std::string Rows;
    std::vector<std::string> Boxes;
    std::string Shown;
  } cases[] = {
      {"null in every column", "(NULL, NULL, NULL, NULL, NULL)", {}, "||||0"},
      {"type codes outside the mapping", "(1, 1, 6, 'a', 0), (1, 2, 10, 'b', 0), (1, 3, 12, 'c', 0), (1, 4, 3, 'd', 0)",
       {}, "1|1||a|0\n1|2||b|0\n1|3||c|0\n1|4|Arden|d|0"},
      {"odd flags show neither checked nor unchecked", "(1, 1, 0, 'two', 2), (1, 2, 0, 'minus one', -1)", {},
       "1|1|Arden|two|1\n1|2|Arden|minus one|1"},
      {"a text flag stops the load at its row, naming it", "(1, 1, 0, 'ok', 0), (1, 2, 0, 'bad', 'yes'), (1, 3, 0, 'x', 0)",
       {"Site 1, controller 2: Field 'Disabled' cannot hold 'yes': not a valid integer."}, "1|1|Arden|ok|0"},
      {"a site past 32 bits is never wrapped", "(1, 1, 0, 'ok', 0), (4294967297, 1, 0, 'wraps to 1', 0)",
       {"Site 4294967297, controller 1: Field 'Site' cannot hold 4294967297: out of range for a 32-bit integer."},
       "1|1|Arden|ok|0"},
      {"a controller past 32 bits is never wrapped", "(1, -2147483649, 0, 'x', 0)",
       {"Site 1, controller -2147483649: Field 'Controller' cannot hold -2147483649: out of range for a 32-bit "
        "integer."},
       ""},
      {"negative numbers are numbers", "(-5, -7, 0, 'neg', 0)", {}, "-5|-7|Arden|neg|0"},
      {"text in an integer column", "('abc', 1, 0, 'x', 0)",
       {"Site abc, controller 1: Field 'Site' cannot hold 'abc': not a valid integer."}, ""},
      {"numeric text in an integer column", "('12', '3', 0, 'x', '1')", {}, "12|3|Arden|x|2"},
      {"a description past 255 characters is cut visibly", "(1, 1, 0, '" + std::string(300, 'x') + "', 0)", {},
       "1|1|Arden|" + std::string(254, 'x') + "\u2026|0"},
      {"invalid UTF-8", "(1, 1, 0, CAST(x'41FF42' AS TEXT), 0)", {}, "1|1|Arden|A\uFFFDB|0"},
      {"control characters are shown, not obeyed", "(1, 1, 0, 'Door' || char(9) || '1' || char(10) || 'B', 0)", {},
       "1|1|Arden|Door\u24091\u240AB|0"},
      {"right-to-left text", "(1, 1, 0, '\u05E9\u05E2\u05E8 \u0628\u0648\u0627\u0628\u0629 2', 0)", {},
       "1|1|Arden|\u05E9\u05E2\u05E8 \u0628\u0648\u0627\u0628\u0629 2|0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(database + suffix, ec);
    boxes.clear();
    MakeDatabase(c.Rows);
    Open();
    EXPECT_EQ(boxes, c.Boxes);
    EXPECT_EQ(Shown(), c.Shown);
    window.reset();
  }
}

TEST_F(ShippedServiceFixture, TogglingOddRowsWritesOnlyTheirOwnRow) {
  MakeDatabase("(NULL, NULL, 0, 'no key', 0), (0, 0, 0, 'real 0/0', 0), (-5, 7, 0, 'odd', 2)");
  Open();
  ClickCheckBox(0);
  EXPECT_EQ(boxes, (std::vector<std::string>{
                       "This controller has no site or controller number, so its change cannot be stored."}));
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
  ClickCheckBox(1);  // -5/7, listed before 0/0; mixed, so it stores 1
  EXPECT_EQ(CheckState(1), Qt::Checked);
  EXPECT_EQ(Flags(database), "-/-=0 0/0=0 -5/7=1");
}

}  // namespace
}  // namespace velmora::qt

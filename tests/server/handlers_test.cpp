// The utility's handlers on the shipped service, once per backend: FormCreate
// loads every row with all five fields, a toggle is stored by the time it returns,
// and a toggle of a controller another operator removed is refused and undone.

#include <gtest/gtest.h>

#include "backend_database.h"
#include "controllers/grid_view.h"
#include "controllers/main_window.h"
#include "server_test_support.h"

namespace velmora::test {
namespace {

class NullHost : public TfrmMain::Host {
 public:
  void Close() override {}
};

constexpr int kDisabledColumn = 4;

class HandlersTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    UseTestEnvironment();
    CoInitialize();
    VELMORA_MAKE_BACKEND_DATABASE(FDb, GetParam(), FDir);
    FDb->Use();
    FDb->CreateControllers({
        "(2, 1, 30, 'Loading dock B door', 0)",
        "(1, 2, 7, NULL, 1)",
        "(1, 1, 0, 'Z\xC3\xBCrich Lagerhalle Tor 2', NULL)",
        "(1, 3, 6, 'Unmapped type', 0)",
    });
  }
  void TearDown() override { CoUninitialize(); }

  // The loaded table, one line a row, every field by its name.
  static std::string Loaded(TfrmMain& form) {
    std::string out;
    for (form.kbmControllers.First(); !form.kbmControllers.Eof(); form.kbmControllers.Next()) {
      for (Field* field : {&form.kbmControllersSite, &form.kbmControllersController,
                           &form.kbmControllersControllerType, &form.kbmControllersDescription,
                           &form.kbmControllersDisabled}) {
        if (field != &form.kbmControllersSite) out += '|';
        out += field->IsNull() ? "NULL" : field->AsString();
      }
      out += '\n';
    }
    return out;
  }

  std::string Flags() { return FDb->Dump("SELECT Site, Controller, ConnectArden FROM Controllers ORDER BY Site, Controller"); }

  TempDir FDir;
  std::unique_ptr<BackendDatabase> FDb;
  NullHost FHost;
};

INSTANTIATE_TEST_SUITE_P(Backends, HandlersTest, ::testing::Values(kSqlite, kPostgres, kMariadb),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_P(HandlersTest, FormCreateLoadsEveryRowWithAllFiveFields) {
  TfrmMain form(FHost);
  form.FormCreate();
  EXPECT_EQ(Loaded(form),
            "1|1|Arden|Z\xC3\xBCrich Lagerhalle Tor 2|NULL\n"
            "1|2|Arden-NX|NULL|1\n"
            "1|3|NULL|Unmapped type|0\n"
            "2|1|TM770A|Loading dock B door|0\n");
}

TEST_P(HandlersTest, AToggleIsStoredWhenItReturns) {
  TfrmMain form(FHost);
  form.FormCreate();
  GridView view(TfrmMain::Definition().GridView, form.DataSource1);
  ASSERT_TRUE(view.ToggleCheck(0, kDisabledColumn));  // null: unchecked, so it becomes 1
  ASSERT_TRUE(view.ToggleCheck(1, kDisabledColumn));
  EXPECT_EQ(Flags(), "1|1|1\n1|2|0\n1|3|0\n2|1|0\n");
}

TEST_P(HandlersTest, AToggleOfARemovedControllerIsRefusedAndUndone) {
  TfrmMain form(FHost);
  form.FormCreate();
  GridView view(TfrmMain::Definition().GridView, form.DataSource1);
  FDb->Exec("DELETE FROM Controllers WHERE Site = 2");
  std::string message;
  try {
    view.ToggleCheck(3, kDisabledColumn);
  } catch (const std::exception& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "No controller matched the update: no row has that site and controller, so nothing was changed");
  EXPECT_EQ(form.kbmControllersDisabled.AsString(), "0");
  EXPECT_EQ(Flags(), "1|1|NULL\n1|2|1\n1|3|0\n");
}

}  // namespace
}  // namespace velmora::test

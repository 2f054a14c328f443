#include "controllers/main_window.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "controllers/grid_view.h"
#include "data/conversion.h"

#include "service/utf.h"
#include "tests/support/test_registry.h"

namespace velmora {
namespace {

using test::Failure;
using test::TestServiceControl;
using test::TestValue;

std::vector<TestValue> Row(std::int64_t site, std::int64_t controller, TestValue type, TestValue description,
                           TestValue disabled) {
  return {site, controller, std::move(type), std::move(description), std::move(disabled)};
}

// A TfrmMain on the test service, as the front end would hold it.
class MainWindowFixture : public ::testing::Test, protected TfrmMain::Host {
 protected:
  MainWindowFixture() : service(registry.UseTestService()) { CoInitialize(); }
  ~MainWindowFixture() override { CoUninitialize(); }

  void Close() override { ++closes; }
  void ShowLoadProgress(int rows) override { host.push_back("progress " + std::to_string(rows)); }
  void EndLoadProgress() override { host.push_back("end of load"); }
  void BeginBusy() override { host.push_back("busy"); }
  void EndBusy() override { host.push_back("idle"); }

  void AddRows(int count) {
    for (int i = 1; i <= count; ++i) {
      service.Rows.push_back(Row(1 + i / 5, i, std::string("Arden"), std::string("Door ") + std::to_string(i),
                                 std::int64_t{i % 2}));
    }
  }

  // Runs a handler as the front end does and returns the message of its failure
  // ("" when it succeeded).
  template <class F>
  std::string MessageOf(F&& handler) {
    try {
      handler();
      return "";
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  // Toggles "Disabled" of a table row as the grid does.
  void Toggle(int row) {
    form.kbmControllers.SetRecNo(row);
    form.kbmControllers.Edit();
    form.kbmControllersDisabled.SetAsInteger(form.kbmControllersDisabled.AsInteger() == 1 ? 0 : 1);
    form.kbmControllers.Post();
  }

  std::vector<std::string> Received() const {
    std::vector<std::string> texts;
    for (const std::u16string& text : service.Received) texts.push_back(Utf16ToUtf8(text));
    return texts;
  }

  // Each row as "site/controller/type/description/disabled", nulls as "-".
  std::string Contents() {
    std::string out;
    MemTable& t = form.kbmControllers;
    for (int r = 0; r < t.RecordCount(); ++r) {
      if (!out.empty()) out += "; ";
      for (std::size_t f = 0; f < t.FieldCount(); ++f) {
        if (f > 0) out += '/';
        out += t.CellIsNull(r, t.Fields(f)) ? "-" : DisplayText(t.CellValue(r, t.Fields(f)));
      }
    }
    return out;
  }

  test::TestRegistry registry;
  TestServiceControl& service;
  int closes = 0;
  std::vector<std::string> host;  // what the form asked of its host, in order
  TfrmMain form{*this};
};

TEST_F(MainWindowFixture, IsConstructedWithAnInactiveTableAndTheListQuery) {
  EXPECT_FALSE(form.kbmControllers.Active());
  EXPECT_FALSE(form.Loading());
  ASSERT_EQ(form.QuillStringsList1.StringsCollection().Count(), 1u);
  EXPECT_EQ(form.QuillStringsList1.StringsCollection().Items(0).Name(), "Controllers");
  EXPECT_EQ(form.DataSource1.DataSet(), &form.kbmControllers);
}

TEST_F(MainWindowFixture, TheQueryTextIsExactlyTheStoredLines) {
  const std::string expected =
      "SELECT Site\r\n"
      "       ,Controller\r\n"
      "       ,CASE \r\n"
      "          WHEN ControllerType IN (0,3) THEN 'Arden'\r\n"
      "          WHEN ControllerType IN (1,4) THEN 'Arden-L'\r\n"
      "          WHEN ControllerType IN (2,5) THEN 'Arden-N'\r\n"
      "          WHEN ControllerType = 7 THEN 'Arden-NX'\r\n"
      "          WHEN ControllerType = 8 THEN 'Arden-R4'\r\n"
      "          WHEN ControllerType = 9 THEN 'Kestrel-Hub'\r\n"
      "          WHEN ControllerType = 11 THEN 'HX210-77040'          \r\n"
      "          WHEN ControllerType = 25 THEN 'QV8810'\r\n"
      "          WHEN ControllerType = 30 THEN 'TM770A'\r\n"
      "          WHEN ControllerType = 32 THEN 'TM790A'\r\n"
      "          WHEN ControllerType = 40 THEN 'TM950A'\r\n"
      "          WHEN ControllerType = 41 THEN 'QV8830'\r\n"
      "          WHEN ControllerType = 13 THEN 'Z7-RT'\r\n"
      "        END AS [Controller Type]\r\n"
      "      ,Description  \r\n"
      "\t  ,ConnectArden AS [Disabled]       \r\n"
      "FROM Controllers\r\n"
      "ORDER BY Site,Controller\r\n";
  EXPECT_EQ(form.QuillStringsList1.StringsByName("Controllers").Count(), 21u);
  EXPECT_EQ(form.QuillStringsList1.StringsByName("Controllers").Text(), expected);
  form.FormCreate();
  ASSERT_EQ(service.Received.size(), 1u);
  EXPECT_EQ(service.Received[0], Utf8ToUtf16(expected));
}

TEST_F(MainWindowFixture, TableFieldsAreAsDefined) {
  struct Expected {
    const char* Name;
    FieldType Type;
    int Size;
    bool ReadOnly;
    bool FixedLength;
  } fields[] = {
      {"Site", FieldType::Integer, 0, false, true},
      {"Controller", FieldType::Integer, 0, false, true},
      {"Controller Type", FieldType::String, 11, true, false},
      {"Description", FieldType::WideString, 255, false, false},
      {"Disabled", FieldType::Integer, 0, false, true},
  };
  ASSERT_EQ(form.kbmControllers.FieldCount(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    const Field& f = form.kbmControllers.Fields(i);
    SCOPED_TRACE(fields[i].Name);
    EXPECT_EQ(f.FieldName(), fields[i].Name);
    EXPECT_EQ(f.DataType(), fields[i].Type);
    EXPECT_EQ(f.Size(), fields[i].Size);
    EXPECT_EQ(f.ReadOnly(), fields[i].ReadOnly);
    EXPECT_EQ(f.FixedLength(), fields[i].FixedLength);
  }
  EXPECT_EQ(&form.kbmControllersSite, &form.kbmControllers.Fields(0));
  EXPECT_EQ(&form.kbmControllersDisabled, &form.kbmControllers.Fields(4));
}

TEST(WriteBack, FormatsSigned32BitDecimals) {
  struct Case {
    std::int32_t Disabled, Site, Controller;
    const char* Text;
  } cases[] = {
      {1, 3, 12, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 3 and Controller = 12"},
      {0, 0, 0, "UPDATE Controllers SET ConnectArden=0 WHERE Site = 0 and Controller = 0"},
      {1, -5, 7, "UPDATE Controllers SET ConnectArden=1 WHERE Site = -5 and Controller = 7"},
      {0, 2147483647, -2147483647 - 1,
       "UPDATE Controllers SET ConnectArden=0 WHERE Site = 2147483647 and Controller = -2147483648"},
  };
  for (const Case& c : cases) EXPECT_EQ(TfrmMain::FormatWriteBack(c.Disabled, c.Site, c.Controller), c.Text);
}

TEST_F(MainWindowFixture, LoadingTenRowsSendsNoStatementAndToggleSendsExactlyOne) {
  AddRows(10);
  form.FormCreate();
  EXPECT_EQ(form.kbmControllers.RecordCount(), 10);
  EXPECT_EQ(form.kbmControllers.RecNo(), 0);
  EXPECT_EQ(service.Received.size(), 1u);  // the query only
  EXPECT_FALSE(form.Loading());
  EXPECT_EQ(service.ObjectsAlive, 0);
  EXPECT_EQ(service.RecordsetsAlive, 0);

  Toggle(2);  // site 1, controller 3, was 1
  EXPECT_EQ(Received().back(), "UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 3");
  Toggle(5);  // site 2, controller 6, was 0
  EXPECT_EQ(Received().back(), "UPDATE Controllers SET ConnectArden=1 WHERE Site = 2 and Controller = 6");
  EXPECT_EQ(service.Received.size(), 3u);
  EXPECT_EQ(service.ObjectsCreated, 3);  // a fresh object per handler call
  EXPECT_EQ(service.ObjectsAlive, 0);
}

TEST_F(MainWindowFixture, AnEmptyResultOpensAnEmptyTable) {
  form.FormCreate();
  EXPECT_TRUE(form.kbmControllers.Active());
  EXPECT_EQ(form.kbmControllers.RecordCount(), 0);
  EXPECT_EQ(service.Received.size(), 1u);
}

TEST_F(MainWindowFixture, RowsLoadWithNullsAndConversions) {
  service.Rows = {
      Row(1, 1, std::string("Kestrel-Hub"), std::string("Z\xC3\xBCrich Tor"), std::int64_t{1}),
      Row(1, 2, TestValue{}, TestValue{}, TestValue{}),
      Row(2, 3, std::u16string(u"Z7-RT"), std::u16string(u"\u05E9\u05DC\u05D5\u05DD"), std::string("0")),
  };
  form.FormCreate();
  EXPECT_EQ(Contents(), "1/1/Kestrel-Hub/Z\xC3\xBCrich Tor/1; 1/2/-/-/-; 2/3/Z7-RT/\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D/0");
}

TEST_F(MainWindowFixture, FieldsAreMatchedByNameIgnoringCaseAndUnmatchedStayNull) {
  service.Columns = {"SITE", "controller", "Description", "Extra"};
  service.Rows = {{std::int64_t{4}, std::int64_t{9}, std::string("Gate"), std::string("ignored")}};
  form.FormCreate();
  EXPECT_EQ(Contents(), "4/9/-/Gate/-");
}

TEST_F(MainWindowFixture, CreationFailureAtLoadAndAtEveryToggle) {
  registry.Unregister();
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), "Class not registered, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}");
  EXPECT_FALSE(form.kbmControllers.Active());  // nothing loaded
  EXPECT_FALSE(form.Loading());
}

TEST_F(MainWindowFixture, ToggleWithTheServiceGoneFailsEachTimeAndRestores) {
  AddRows(3);
  form.FormCreate();
  registry.Unregister();
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(MessageOf([&] { Toggle(0); }), "Class not registered, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}");
    EXPECT_EQ(form.kbmControllersDisabled.AsInteger(), 1);  // as the database holds it
  }
}

TEST_F(MainWindowFixture, CreationFailureMessages) {
  struct Case {
    const char* Label;
    std::function<void()> Arrange;
    const char* Message;
  } cases[] = {
      {"module file missing", [&] { registry.RegisterModule((registry.Dir() / "missing.so").string()); },
       "The specified module could not be found, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}"},
      {"module is no library",
       [&] {
         std::ofstream(registry.Dir() / "garbage.so") << "not a library";
         registry.RegisterModule((registry.Dir() / "garbage.so").string());
       },
       "Error in the DLL, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}"},
      {"module without the class", [&] { service.NoClass = true; },
       "ClassFactory cannot supply requested class, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}"},
      {"entry point fails with a code the system has no text for",
       [&] { service.EntryFailure = MakeResult(0x8004D00A); },
       "OLE error 8004D00A, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}"},
      {"object without the interface", [&] { service.WithoutInterface = true; }, "Interface not supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    registry.UseTestService();
    c.Arrange();
    EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), c.Message);
    EXPECT_FALSE(form.Loading());
  }
}

TEST_F(MainWindowFixture, OperationFailureMessages) {
  struct Case {
    const char* Label;
    std::function<void()> Arrange;
    const char* Message;
  } cases[] = {
      {"description trimmed", [&] { service.OpenQueryFailure = Failure{E_FAIL, u"no such table: Controllers. .  \r\n"}; },
       "no such table: Controllers"},
      {"no description: system text", [&] { service.OpenQueryFailure = Failure{E_INVALIDARG, std::nullopt}; },
       "The parameter is incorrect"},
      {"empty description: system text", [&] { service.OpenQueryFailure = Failure{E_NOTIMPL, u" . "}; },
       "Not implemented"},
      {"no text at all", [&] { service.OpenQueryFailure = Failure{MakeResult(0x8004D00A), std::nullopt}; },
       "OLE error 8004D00A"},
      {"succeeds with no object", [&] { service.OpenQueryReturnsNothing = true; },
       "The hardware service reported success but returned no record set"},
      {"object is no record set", [&] { service.OpenQueryReturnsNonRecordset = true; }, "Interface not supported"},
      {"closed record set", [&] { service.RecordsetClosed = true; }, "ADODataSet1: Recordset is not open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    registry.UseTestService();
    AddRows(2);
    c.Arrange();
    EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), c.Message);
    EXPECT_FALSE(form.Loading());
    EXPECT_EQ(service.ObjectsAlive, 0);
    EXPECT_EQ(service.RecordsetsAlive, 0);
    EXPECT_FALSE(form.ADODataSet1.Active());
  }
}

TEST_F(MainWindowFixture, AStaleDescriptionIsNotShownForALaterFailure) {
  service.OpenQueryFailure = Failure{E_FAIL, u"first"};
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), "first");
  service.OpenQueryFailure = Failure{E_FAIL, std::nullopt};
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), "Unspecified error");
}

TEST_F(MainWindowFixture, ALoadFailingHalfWayKeepsTheRowsAndLaterTogglesAreWrittenBack) {
  AddRows(6);
  service.FailMoveNextAtRow = 3;
  service.MoveNextFailure = Failure{E_FAIL, u"disk I/O error"};
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), "disk I/O error");
  EXPECT_EQ(form.kbmControllers.RecordCount(), 4);
  EXPECT_FALSE(form.Loading());
  EXPECT_EQ(service.RecordsetsAlive, 0);
  Toggle(1);
  EXPECT_EQ(Received().back(), "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 2");
}

TEST_F(MainWindowFixture, IntegersThatDoNotFitFailTheLoadNamingFieldAndValue) {
  AddRows(2);
  service.Rows.push_back(Row(4294967297LL, 1, std::string("Arden"), std::string("wraps to site 1"), std::int64_t{0}));
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }),
            "Site 4294967297, controller 1: Field 'Site' cannot hold 4294967297: out of range for a 32-bit integer");
  EXPECT_EQ(form.kbmControllers.RecordCount(), 2);
  EXPECT_EQ(service.Received.size(), 1u);
}

TEST_F(MainWindowFixture, TheHostShowsProgressAndIsBusyForEveryServiceCall) {
  using Events = std::vector<std::string>;
  struct Case {
    const char* Label;
    int Rows;
    std::function<void(TestServiceControl&)> Fault;
    Events Expected;
  } cases[] = {
      {"a short load", 3, nullptr, {"busy", "end of load", "idle"}},
      {"a long load", 2 * MemTable::kLoadProgressRows + 1, nullptr,
       {"busy", "progress " + std::to_string(MemTable::kLoadProgressRows),
        "progress " + std::to_string(2 * MemTable::kLoadProgressRows), "end of load", "idle"}},
      {"a load that fails", 3, [](TestServiceControl& s) { s.OpenQueryFailure = Failure{E_FAIL, u"no such table"}; },
       {"busy", "end of load", "idle"}},
      {"no service at all", 3, [](TestServiceControl& s) { s.NoClass = true; }, {"busy", "idle"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    service.Reset();
    host.clear();
    AddRows(c.Rows);
    if (c.Fault) c.Fault(service);
    TfrmMain window(*this);
    MessageOf([&] { window.FormCreate(); });
    EXPECT_EQ(host, c.Expected);
    // The progress hook goes with the load: nothing reports after it.
    EXPECT_FALSE(window.kbmControllers.OnLoadProgress);
  }
  // Each write-back is a service call of its own, failed or not.
  service.Reset();
  AddRows(2);
  form.FormCreate();
  host.clear();
  Toggle(0);
  service.ExecuteResults = {Failure{E_FAIL, u"database is locked"}};
  MessageOf([&] { Toggle(0); });
  EXPECT_EQ(host, (Events{"busy", "idle", "busy", "idle"}));
}

TEST_F(MainWindowFixture, AControlCharacterInAKeyReachesTheMessageWhole) {
  service.Rows = {Row(1, 1, std::string("Arden"), std::string("ok"), std::int64_t{0}),
                  {std::string("7\0x", 3), std::int64_t{1}, std::string("Arden"), std::string("odd"), std::int64_t{0}}};
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }),
            "Site 7\u2400x, controller 1: Field 'Site' cannot hold '7\u2400x': not a valid integer");
}

TEST_F(MainWindowFixture, ATwinKeyIsRefusedThroughTheGridAndSendsNothing) {
  service.Rows = {Row(1, 1, std::string("Arden"), std::string("a"), std::int64_t{0}),
                  Row(1, 2, std::string("Arden"), std::string("b"), std::int64_t{0}),
                  Row(1, 2, std::string("Arden"), std::string("b again"), std::int64_t{1})};
  form.FormCreate();
  GridView view(TfrmMain::Definition().GridView, form.DataSource1);
  const std::size_t sent = service.Received.size();
  EXPECT_EQ(MessageOf([&] { view.ToggleCheck(2, view.CheckColumn()); }),
            "Site 1, Controller 2 is listed more than once, so this change was not stored: it would change every "
            "record with this Site and Controller at once");
  EXPECT_EQ(service.Received.size(), sent);
  EXPECT_EQ(Contents(), "1/1/Arden/a/0; 1/2/Arden/b/0; 1/2/Arden/b again/1");
  EXPECT_TRUE(view.ToggleCheck(0, view.CheckColumn()));
  EXPECT_EQ(Received().back(), "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1");
}

TEST_F(MainWindowFixture, AFailedWriteBackRestoresTheValueAndTheNextToggleTriesAgain) {
  AddRows(2);  // controller 1 disabled, controller 2 not
  form.FormCreate();
  service.ExecuteResults = {Failure{E_FAIL, u"database is locked"}};
  EXPECT_EQ(MessageOf([&] { Toggle(0); }), "database is locked");
  EXPECT_EQ(form.kbmControllersDisabled.AsInteger(), 1);
  EXPECT_EQ(Contents(), "1/1/Arden/Door 1/1; 1/2/Arden/Door 2/0");
  EXPECT_EQ(service.ObjectsAlive, 0);

  EXPECT_EQ(MessageOf([&] { Toggle(0); }), "");
  EXPECT_EQ(Received().back(), "UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1");
  EXPECT_EQ(service.Received.size(), 3u);  // no statement for the restore
}

TEST_F(MainWindowFixture, ARowWithoutItsKeyIsNeverWrittenBackAsAnotherRow) {
  service.Rows = {Row(0, 0, std::string("Arden"), std::string("real 0/0"), std::int64_t{0}),
                  {TestValue{}, TestValue{}, std::string("Arden"), std::string("no key"), std::int64_t{0}}};
  form.FormCreate();
  EXPECT_EQ(MessageOf([&] { Toggle(1); }),
            "This controller has no site or controller number, so its change cannot be stored");
  EXPECT_EQ(service.Received.size(), 1u);
  EXPECT_EQ(form.kbmControllersDisabled.AsInteger(), 0);
}

TEST_F(MainWindowFixture, CloseButtonPostsAPendingEditThenCloses) {
  AddRows(2);
  form.FormCreate();
  form.btnCloseClick();  // nothing pending
  EXPECT_EQ(service.Received.size(), 1u);
  EXPECT_EQ(closes, 1);

  form.kbmControllers.Edit();
  form.kbmControllersDisabled.SetAsInteger(0);
  form.btnCloseClick();
  EXPECT_EQ(Received().back(), "UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1");
  EXPECT_EQ(closes, 2);
}

TEST_F(MainWindowFixture, CloseButtonStaysOpenWhenThePendingWriteBackFails) {
  AddRows(2);
  form.FormCreate();
  service.ExecuteResults = {Failure{E_ACCESSDENIED, std::nullopt}};
  form.kbmControllers.Edit();
  form.kbmControllersDisabled.SetAsInteger(0);
  EXPECT_EQ(MessageOf([&] { form.btnCloseClick(); }), "Access is denied");
  EXPECT_EQ(closes, 0);
  EXPECT_EQ(form.kbmControllersDisabled.AsInteger(), 1);
}

TEST_F(MainWindowFixture, ClosingByTheFrameDropsAPendingEditWithoutAStatement) {
  AddRows(2);
  form.FormCreate();
  form.kbmControllers.Edit();
  form.kbmControllersDisabled.SetAsInteger(0);
  form.FormClose();
  EXPECT_FALSE(form.kbmControllers.Active());
  EXPECT_EQ(service.Received.size(), 1u);
}

}  // namespace
}  // namespace velmora

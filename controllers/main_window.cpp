#include "controllers/main_window.h"

#include <cstdio>

#include "data/database_error.h"
#include "service/utf.h"

namespace velmora {
namespace {

static_assert(sizeof(int) == sizeof(std::int32_t), "%d must print a 32-bit integer");

// The list query, line by line; leading and trailing blanks are part of the text.
const LineList kControllersQuery = {
    "SELECT Site",
    "       ,Controller",
    "       ,CASE ",
    "          WHEN ControllerType IN (0,3) THEN 'Arden'",
    "          WHEN ControllerType IN (1,4) THEN 'Arden-L'",
    "          WHEN ControllerType IN (2,5) THEN 'Arden-N'",
    "          WHEN ControllerType = 7 THEN 'Arden-NX'",
    "          WHEN ControllerType = 8 THEN 'Arden-R4'",
    "          WHEN ControllerType = 9 THEN 'Kestrel-Hub'",
    "          WHEN ControllerType = 11 THEN 'HX210-77040'          ",
    "          WHEN ControllerType = 25 THEN 'QV8810'",
    "          WHEN ControllerType = 30 THEN 'TM770A'",
    "          WHEN ControllerType = 32 THEN 'TM790A'",
    "          WHEN ControllerType = 40 THEN 'TM950A'",
    "          WHEN ControllerType = 41 THEN 'QV8830'",
    "          WHEN ControllerType = 13 THEN 'Z7-RT'",
    "        END AS [Controller Type]",
    "      ,Description  ",
    "\t  ,ConnectArden AS [Disabled]       ",
    "FROM Controllers",
    "ORDER BY Site,Controller",
};

FormDef MakeDefinition() {
  FormDef form;
  form.Name = "frmMain";
  form.ClassName = "TfrmMain";
  form.Caption = "Velmora/Controller Connection Utility";
  form.ClientWidth = 690;
  form.ClientHeight = 354;
  form.FontName = "Tahoma";
  form.FontHeightPixels = 11;
  form.Grid = {"cxGrid1", {8, 8, 673, 305}, 0, "", false};
  form.CloseButton = {"btnClose", {607, 319, 75, 25}, 1, "Close", true};
  GridViewDef& view = form.GridView;
  view.GridName = "cxGrid1";
  view.LevelName = "cxGrid1Level1";
  view.ViewName = "cxGrid1DBTableView1";
  view.DataSourceName = "DataSource1";
  using A = Alignment;
  view.Columns = {
      {"cxGrid1DBTableView1Site", "Site", CellEditor::Text, A::Center, A::Center, 48, false},
      {"cxGrid1DBTableView1Controller", "Controller", CellEditor::Text, A::Center, A::Center, 73, false},
      {"cxGrid1DBTableView1ControllerType", "Controller Type", CellEditor::Text, A::Center, A::Center, 105, false},
      {"cxGrid1DBTableView1Description", "Description", CellEditor::Default, A::Default, A::Center, 343, false},
      {"cxGrid1DBTableView1Disabled", "Disabled", CellEditor::CheckBox, A::Default, A::Center, 0, true},
  };
  view.KeyFieldNames = {"Site", "Controller"};
  return form;
}

}  // namespace

const FormDef& TfrmMain::Definition() {
  static const FormDef definition = MakeDefinition();
  return definition;
}

std::string TfrmMain::FormatWriteBack(std::int32_t disabled, std::int32_t site, std::int32_t controller) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, kWriteBackFormat, static_cast<int>(disabled), static_cast<int>(site),
                static_cast<int>(controller));
  return buffer;
}

TfrmMain::TfrmMain(Host& host)
    : kbmControllersSite(kbmControllers.AddField({"Site", FieldType::Integer, 0, false, true})),
      kbmControllersController(kbmControllers.AddField({"Controller", FieldType::Integer, 0, false, true})),
      kbmControllersControllerType(kbmControllers.AddField({"Controller Type", FieldType::String, 11, true, false})),
      kbmControllersDescription(kbmControllers.AddField({"Description", FieldType::WideString, 255, false, false})),
      kbmControllersDisabled(kbmControllers.AddField({"Disabled", FieldType::Integer, 0, false, true})),
      FHost(host) {
  QuillStringsList1.StringsCollection().Add("Controllers", kControllersQuery);
  DataSource1.SetDataSet(&kbmControllers);
  kbmControllers.AfterPost = [this](Dataset& dataset) { kbmControllersAfterPost(dataset); };
}

void TfrmMain::FormCreate() {
  const Busy busy(FHost);
  ComPtr<IHardwareService> service = CoHardware::Create();
  FLoading = true;
  kbmControllers.OnLoadProgress = [this](int rows) { FHost.ShowLoadProgress(rows); };
  // Runs whether the load succeeded or not; none of it can fail.
  const auto cleanUp = [&] {
    service.Reset();
    ADODataSet1.Close();
    FLoading = false;
    kbmControllers.OnLoadProgress = nullptr;
    FHost.EndLoadProgress();
  };
  try {
    LoadControllers(*service);
  } catch (...) {
    cleanUp();
    throw;
  }
  cleanUp();
}

void TfrmMain::LoadControllers(IHardwareService& service) {
  const std::u16string query = Utf8ToUtf16(QuillStringsList1.StringsByName("Controllers").Text());
  const ComPtr<IUnknown> result = OpenQuery(service, query);
  if (!result) throw std::runtime_error("The hardware service reported success but returned no record set");
  ComPtr<IRecordset> recordset = AsRecordset(result);
  if (!recordset) throw InterfaceNotSupported();
  ADODataSet1.SetRecordset(std::move(recordset));
  try {
    kbmControllers.LoadFromDataSet(ADODataSet1);
  } catch (const DatabaseError& e) {
    // Name the controller whose row could not be taken, so it can be found and mended.
    throw DatabaseError(SourceRowName() + ": " + e.what());
  }
}

std::string TfrmMain::SourceRowName() const {
  const auto value = [&](const char* name) {
    const Field* field = ADODataSet1.FindField(name);
    return field == nullptr || field->IsNull() ? std::string("(none)") : field->AsString();
  };
  // A text in a number's place may hold anything; a NUL would end the message there.
  return "Site " + WithVisibleControls(value("Site")) + ", controller " + WithVisibleControls(value("Controller"));
}

void TfrmMain::kbmControllersAfterPost(Dataset&) {
  if (FLoading) return;
  try {
    // A row without its key would be written back as site or controller 0: another
    // controller's row, or none.
    if (kbmControllersSite.IsNull() || kbmControllersController.IsNull()) {
      throw std::runtime_error("This controller has no site or controller number, so its change cannot be stored");
    }
    const Busy busy(FHost);
    const ComPtr<IHardwareService> service = CoHardware::Create();
    const std::string statement = FormatWriteBack(kbmControllersDisabled.AsInteger(), kbmControllersSite.AsInteger(),
                                                  kbmControllersController.AsInteger());
    ExecuteCommand(*service, Utf8ToUtf16(statement));
  } catch (...) {
    // A failed write-back was not carried out: show the value the database holds.
    kbmControllers.RevertLastPost();
    throw;
  }
}

void TfrmMain::btnCloseClick() {
  if (kbmControllers.Active() && kbmControllers.State() == DatasetState::Edit) kbmControllers.Post();
  FHost.Close();
}

void TfrmMain::FormClose() {
  if (kbmControllers.Active()) kbmControllers.Close();
}

}  // namespace velmora

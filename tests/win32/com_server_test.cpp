// TfrmMain and the service layer on the system's COM, against the registered test
// server and the system's ADO. Run under Wine by CTest, twice: with the server in
// process (velmora-test-hardware.dll), and with VELMORA_TEST_SERVER_MODE=local
// and only the local server registered (velmora-test-hardware-server.exe), so
// that every call crosses a process boundary through the system's marshaller.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "controllers/grid_view.h"
#include "controllers/main_window.h"
#include "data/conversion.h"
#include "service/ado_recordset_win32.h"
#include "service/com_win32.h"
#include "service/utf.h"

namespace velmora {
namespace {

constexpr const char* kClassId = "{72D2BD55-66FA-11D4-A097-0050DAC21168}";
constexpr int kDisabledColumn = 4;

const wchar_t* const kControls[] = {L"VELMORA_TEST_ROWS", L"VELMORA_TEST_OPEN_FAILURE",
                                    L"VELMORA_TEST_EXECUTE_FAILURE", L"VELMORA_TEST_RESULT",
                                    L"VELMORA_TEST_NO_INTERFACE", L"VELMORA_TEST_CLASS_FAILURE"};

bool LocalMode() {
  wchar_t mode[16] = {};
  return ::GetEnvironmentVariableW(L"VELMORA_TEST_SERVER_MODE", mode, 16) > 0 && std::wstring(mode) == L"local";
}

// The local servers' "started <pid>" and "exited <pid>" lines, in a file of this
// run's own (Wine hands out process ids again).
const std::wstring& ServerLog() {
  static const std::wstring path = [] {
    wchar_t dir[MAX_PATH];
    wchar_t file[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"vls", 0, file);
    return std::wstring(file);
  }();
  return path;
}

// True when every local server started for this process has ended, waiting up to
// ten seconds for the last to notice that its objects are gone.
bool LocalServersEnded() {
  for (int waited = 0; waited < 100; ++waited) {
    std::ifstream in(ServerLog().c_str());
    int started = 0;
    int exited = 0;
    for (std::string word, pid; in >> word >> pid;) {
      if (word == "started") ++started;
      if (word == "exited") ++exited;
    }
    if (started == exited) return true;
    ::Sleep(100);
  }
  return false;
}

// Wine's COM carries a call's result code between processes but not the error
// information that the server left with it (Windows carries both); the client then
// shows the system's text for the code, as it does for a server that leaves none.
bool DescriptionsCrossProcesses() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const bool wine = ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  return !(LocalMode() && wine);
}

// What the user reads for a failure with code and the server's description.
std::string ShownFor(HRESULT code, const std::string& description) {
  if (DescriptionsCrossProcesses()) return description;
  const std::string text = TrimMessage(SystemErrorMessage(code));
  return text.empty() ? OleErrorText(code) : text;
}

// A local server reads the controls of the process that started it, when it
// starts: a change waits for the running one to end, so that the next call starts
// one that sees it.
void SetControl(const wchar_t* name, const std::wstring& value) {
  if (LocalMode()) LocalServersEnded();
  ::SetEnvironmentVariableW(name, value.c_str());
}
void ClearControl(const wchar_t* name) {
  if (LocalMode()) LocalServersEnded();
  ::SetEnvironmentVariableW(name, nullptr);
}

std::wstring Wide(std::string_view utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// The test server's module, loaded by COM on first use.
HMODULE ServerModule() { return ::GetModuleHandleW(L"velmora-test-hardware.dll"); }

// True when the server has no object and no factory left alive.
bool ServerIsIdle() {
  if (LocalMode()) return LocalServersEnded();
  HMODULE module = ServerModule();
  if (module == nullptr) return true;
  using CanUnload = ::HRESULT(STDAPICALLTYPE*)();
  const auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
  return canUnload != nullptr && canUnload() == S_OK;
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

// Where the server is registered; tests change it and put it back.
class Registration {
 public:
  Registration() { FSaved = Read(); }
  ~Registration() { Write(FSaved); }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  static std::wstring Read() {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, Key().c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
      return {};
    }
    return value;
  }
  // Registers module as the server (in process, or the local server's command
  // line); an empty name removes the class. A running local server keeps serving
  // the class it registered with COM, so a change waits for it to end.
  static void Write(const std::wstring& module) {
    if (LocalMode()) LocalServersEnded();
    if (module.empty()) {
      ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{72D2BD55-66FA-11D4-A097-0050DAC21168}");
      return;
    }
    ::RegSetKeyValueW(HKEY_CLASSES_ROOT, Key().c_str(), nullptr, REG_SZ, module.c_str(),
                      static_cast<DWORD>((module.size() + 1) * sizeof(wchar_t)));
    if (!LocalMode()) {
      ::RegSetKeyValueW(HKEY_CLASSES_ROOT, Key().c_str(), L"ThreadingModel", REG_SZ, L"Apartment",
                        sizeof L"Apartment");
    }
  }

 private:
  static std::wstring Key() {
    return std::wstring(L"CLSID\\{72D2BD55-66FA-11D4-A097-0050DAC21168}\\") +
           (LocalMode() ? L"LocalServer32" : L"InprocServer32");
  }
  std::wstring FSaved;
};

// A TfrmMain on the registered server, as the front end holds it: in a
// single-threaded apartment, with every control of the server reset.
class ComServerFixture : public ::testing::Test, protected TfrmMain::Host {
 protected:
  ComServerFixture() {
    FApartment = CoInitialize();
    wchar_t dir[MAX_PATH];
    wchar_t file[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"vel", 0, file);
    FLog = file;
    SetControl(L"VELMORA_TEST_LOG", FLog);
    SetControl(L"VELMORA_TEST_SERVER_LOG", ServerLog());
    for (const wchar_t* name : kControls) ClearControl(name);
  }
  ~ComServerFixture() override {
    for (const wchar_t* name : kControls) ClearControl(name);
    ::DeleteFileW(FLog.c_str());
    if (Succeeded(FApartment)) CoUninitialize();
  }

  void Close() override { ++closes; }

  void Rows(const std::string& rows) { SetControl(L"VELMORA_TEST_ROWS", Wide(rows)); }

  // Every text the server received, in order.
  std::vector<std::string> Received() const {
    std::ifstream in(FLog.c_str(), std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> texts;
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
      texts.push_back(all.substr(start, end - start));
    }
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

  int closes = 0;
  TfrmMain form{*this};
  GridView grid{TfrmMain::Definition().GridView, form.DataSource1};

 private:
  HRESULT FApartment = E_FAIL;
  std::wstring FLog;
};

TEST_F(ComServerFixture, LoadsTheRowsOfTheServersAdoRecordset) {
  Rows("1|1|Kestrel-Hub|Z\xC3\xBCrich Tor|1;1|2||||;2|3|Z7-RT|\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D|0");
  form.FormCreate();
  EXPECT_EQ(Contents(), "1/1/Kestrel-Hub/Z\xC3\xBCrich Tor/1; 1/2/-/-/-; 2/3/Z7-RT/\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D/0");
  EXPECT_FALSE(form.Loading());
  EXPECT_FALSE(form.ADODataSet1.Active());
  EXPECT_TRUE(ServerIsIdle());
}

TEST_F(ComServerFixture, TheQueryArrivesAsTheStoredLines) {
  form.FormCreate();
  const std::vector<std::string> received = Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], form.QuillStringsList1.StringsByName("Controllers").Text());
  EXPECT_EQ(received[0].substr(0, 13), "SELECT Site\r\n");
  EXPECT_EQ(form.kbmControllers.RecordCount(), 0);
}

TEST_F(ComServerFixture, EachToggleSendsExactlyOneStatement) {
  Rows("3|12|Arden|Gate|0;3|13|Arden|Door||;4|1|Arden-L|Hall|1;4|2|Arden-L|Odd|7");
  form.FormCreate();
  struct Case {
    int Row;
    const char* Statement;
    int Disabled;  // afterwards
  } cases[] = {
      {0, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 3 and Controller = 12", 1},
      {1, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 3 and Controller = 13", 1},  // null shows unchecked
      {2, "UPDATE Controllers SET ConnectArden=0 WHERE Site = 4 and Controller = 1", 0},
      {3, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 4 and Controller = 2", 1},   // mixed: checks
      {0, "UPDATE Controllers SET ConnectArden=0 WHERE Site = 3 and Controller = 12", 0},
  };
  std::size_t expected = 1;  // the query
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Statement);
    ASSERT_TRUE(grid.ToggleCheck(c.Row, kDisabledColumn));
    const std::vector<std::string> received = Received();
    ASSERT_EQ(received.size(), ++expected);
    EXPECT_EQ(received.back(), c.Statement);
    EXPECT_EQ(form.kbmControllers.CellInteger(c.Row, form.kbmControllersDisabled), c.Disabled);
    EXPECT_TRUE(ServerIsIdle());
  }
}

TEST_F(ComServerFixture, AFailedWriteBackShowsTheServersDescriptionRestoresAndTriesAgain) {
  Rows("1|1|Arden|Door 1|1;1|2|Arden|Door 2|0");
  form.FormCreate();
  SetControl(L"VELMORA_TEST_EXECUTE_FAILURE", L"80004005 database is locked.");
  EXPECT_EQ(MessageOf([&] { grid.ToggleCheck(0, kDisabledColumn); }), ShownFor(E_FAIL, "database is locked"));
  EXPECT_EQ(Contents(), "1/1/Arden/Door 1/1; 1/2/Arden/Door 2/0");
  EXPECT_TRUE(ServerIsIdle());

  ClearControl(L"VELMORA_TEST_EXECUTE_FAILURE");
  EXPECT_EQ(MessageOf([&] { grid.ToggleCheck(0, kDisabledColumn); }), "");
  const std::vector<std::string> received = Received();
  ASSERT_EQ(received.size(), 3u);  // the query, the failed statement, the retry
  EXPECT_EQ(received[1], received[2]);
  EXPECT_EQ(received[2], "UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1");
}

TEST_F(ComServerFixture, OperationFailureMessages) {
  struct Case {
    const char* Label;
    const wchar_t* Variable;
    const wchar_t* Value;
    std::string Message;
  } cases[] = {
      {"description trimmed", L"VELMORA_TEST_OPEN_FAILURE", L"80004005 no such table: Controllers. .  \r\n",
       ShownFor(E_FAIL, "no such table: Controllers")},
      {"no description: the system's text", L"VELMORA_TEST_OPEN_FAILURE", L"80070057",
       TrimMessage(SystemErrorMessage(E_INVALIDARG))},
      {"no text at all", L"VELMORA_TEST_OPEN_FAILURE", L"8004D00A", "OLE error 8004D00A"},
      {"success without an object", L"VELMORA_TEST_RESULT", L"nothing",
       "The hardware service reported success but returned no record set"},
      {"object is no record set", L"VELMORA_TEST_RESULT", L"other", "Interface not supported"},
      {"closed record set", L"VELMORA_TEST_RESULT", L"closed", "ADODataSet1: Recordset is not open"},
      {"object without the interface", L"VELMORA_TEST_NO_INTERFACE", L"1", "Interface not supported"},
  };
  ASSERT_FALSE(TrimMessage(SystemErrorMessage(E_INVALIDARG)).empty());
  ASSERT_EQ(SystemErrorMessage(MakeResult(0x8004D00A)), "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    Rows("1|1|Arden|Door|0");
    SetControl(c.Variable, c.Value);
    EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), c.Message);
    ClearControl(c.Variable);
    EXPECT_FALSE(form.Loading());
    EXPECT_FALSE(form.ADODataSet1.Active());
    EXPECT_TRUE(ServerIsIdle());
  }
}

TEST_F(ComServerFixture, AStaleDescriptionIsNotShownForALaterFailure) {
  SetControl(L"VELMORA_TEST_OPEN_FAILURE", L"80004005 first");
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), ShownFor(E_FAIL, "first"));
  SetControl(L"VELMORA_TEST_OPEN_FAILURE", L"80004005");
  EXPECT_EQ(MessageOf([&] { form.FormCreate(); }), TrimMessage(SystemErrorMessage(E_FAIL)));
}

TEST_F(ComServerFixture, CreationFailuresNameTheClass) {
  const Registration registration;
  struct Case {
    const char* Label;
    std::wstring Module;  // registered in-process server; empty: none
    std::vector<std::uint32_t> Codes;  // the system's result, by number
  } cases[] = {
      {"class not registered", L"", {0x80040154u}},
      // Windows reports the missing file itself; Wine reports the class unregistered.
      {"module file missing", LocalMode() ? L"C:\\velmora\\missing.exe" : L"C:\\velmora\\missing.dll",
       // A local server that cannot be started: Windows and Wine both say so.
       LocalMode() ? std::vector<std::uint32_t>{0x80080005u, 0x80070002u, 0x80040154u}
                   : std::vector<std::uint32_t>{0x8007007Eu, 0x80040154u}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    Registration::Write(c.Module);
    HRESULT code = S_OK;
    std::string message;
    try {
      form.FormCreate();
    } catch (const OleError& e) {
      code = e.Code();
      message = e.what();
    }
    EXPECT_NE(std::find(c.Codes.begin(), c.Codes.end(), static_cast<std::uint32_t>(code)), c.Codes.end())
        << OleErrorText(code);
    // The system may have no text for the code (Wine has none for these): the
    // code then names itself.
    const std::string text = TrimMessage(SystemErrorMessage(code));
    EXPECT_EQ(message, (text.empty() ? OleErrorText(code) : text) + ", ClassID: " + kClassId);
    EXPECT_FALSE(form.kbmControllers.Active());
    EXPECT_FALSE(form.Loading());
  }
}

TEST_F(ComServerFixture, AClassObjectFailureWithoutSystemTextShowsItsCode) {
  if (LocalMode()) GTEST_SKIP() << "a class object that fails to be handed out is an in-process module's";
  ASSERT_EQ(SystemErrorMessage(MakeResult(0x8004D00A)), "");
  SetControl(L"VELMORA_TEST_CLASS_FAILURE", L"8004D00A");
  HRESULT code = S_OK;
  std::string message;
  try {
    form.FormCreate();
  } catch (const OleError& e) {
    code = e.Code();
    message = e.what();
  }
  // Windows passes the entry point's code on; Wine reports the class unregistered,
  // for which it has no text either.
  EXPECT_TRUE(code == MakeResult(0x8004D00A) || code == REGDB_E_CLASSNOTREG) << OleErrorText(code);
  ASSERT_EQ(SystemErrorMessage(code), "");
  EXPECT_EQ(message, OleErrorText(code) + ", ClassID: " + kClassId);
  EXPECT_FALSE(form.Loading());
  EXPECT_TRUE(Received().empty());
}

TEST_F(ComServerFixture, TogglesWithTheServerGoneFailEachTimeAndRestore) {
  Rows("1|1|Arden|Door 1|1");
  form.FormCreate();
  const Registration registration;
  Registration::Write(L"");
  const std::string text = TrimMessage(SystemErrorMessage(REGDB_E_CLASSNOTREG));
  const std::string expected = (text.empty() ? OleErrorText(REGDB_E_CLASSNOTREG) : text) + ", ClassID: " + kClassId;
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(MessageOf([&] { grid.ToggleCheck(0, kDisabledColumn); }), expected);
    EXPECT_EQ(form.kbmControllers.CellInteger(0, form.kbmControllersDisabled), 1);
  }
  EXPECT_EQ(Received().size(), 1u);
}

TEST_F(ComServerFixture, TheRecordSetAdapterReadsAdoFieldsAndRows) {
  Rows("7|8|QV8810|Pump|1;9|10||Valve|0");
  const ComPtr<IHardwareService> service = CoHardware::Create();
  const ComPtr<IUnknown> object = OpenQuery(*service, u"SELECT 1");
  const ComPtr<IRecordset> recordset = AsRecordset(object);
  ASSERT_TRUE(recordset);
  std::int32_t state = -1;
  ASSERT_EQ(recordset->GetState(&state), S_OK);
  EXPECT_EQ(state, IRecordset::kStateOpen);

  struct Column {
    const char16_t* Name;
    IRecordset::FieldKind Kind;
  } columns[] = {
      {u"Site", IRecordset::FieldKind::Integer},         {u"Controller", IRecordset::FieldKind::Integer},
      {u"Controller Type", IRecordset::FieldKind::Text}, {u"Description", IRecordset::FieldKind::Text},
      {u"Disabled", IRecordset::FieldKind::Integer},
  };
  std::int32_t count = 0;
  ASSERT_EQ(recordset->GetFieldCount(&count), S_OK);
  ASSERT_EQ(count, 5);
  for (std::int32_t i = 0; i < count; ++i) {
    std::u16string name;
    IRecordset::FieldKind kind = IRecordset::FieldKind::Other;
    EXPECT_EQ(recordset->GetFieldName(i, &name), S_OK);
    EXPECT_EQ(recordset->GetFieldKind(i, &kind), S_OK);
    EXPECT_EQ(name, columns[i].Name);
    EXPECT_EQ(kind, columns[i].Kind) << Utf16ToUtf8(name);
  }
  std::u16string past;
  EXPECT_EQ(recordset->GetFieldName(5, &past), DISP_E_BADINDEX);

  // Both rows, first to end; the texts stay valid until the next move.
  std::string rows;
  bool eof = true;
  ASSERT_EQ(recordset->MoveFirst(), S_OK);
  ASSERT_EQ(recordset->GetEOF(&eof), S_OK);
  while (!eof) {
    Variant values[5];
    for (std::int32_t i = 0; i < 5; ++i) ASSERT_EQ(recordset->GetValue(i, &values[i]), S_OK);
    for (const Variant& v : values) rows += (v.IsNull() ? std::string("-") : DisplayText(v)) + "/";
    rows += ";";
    ASSERT_EQ(recordset->MoveNext(), S_OK);
    ASSERT_EQ(recordset->GetEOF(&eof), S_OK);
  }
  EXPECT_EQ(rows, "7/8/QV8810/Pump/1/;9/10/-/Valve/0/;");
  EXPECT_EQ(recordset->Close(), S_OK);
  ASSERT_EQ(recordset->GetState(&state), S_OK);
  EXPECT_EQ(state, IRecordset::kStateClosed);
}

TEST(SystemCom, GuidsHaveTheSystemsLayout) {
  const ::GUID native = win32::ToNative(CLSID_Hardware);
  wchar_t text[40];
  ASSERT_EQ(::StringFromGUID2(native, text, 40), 39);
  EXPECT_EQ(Utf16ToUtf8(reinterpret_cast<const char16_t*>(text)), CLSID_Hardware.ToString());
  EXPECT_EQ(win32::FromNative(native), CLSID_Hardware);
  EXPECT_TRUE(::IsEqualGUID(win32::ToNative(IUnknown::IID), IID_IUnknown));
  EXPECT_TRUE(::IsEqualGUID(win32::ToNative(IClassFactory::IID), IID_IClassFactory));
}

TEST(SystemCom, TheApartmentIsSingleThreadedAndCounted) {
  // On a thread of its own, so the test's other apartments do not interfere.
  std::thread([] {
    EXPECT_EQ(CoInitialize(), S_OK);
    EXPECT_EQ(CoInitialize(), S_FALSE);
    // A single-threaded apartment refuses to become multi-threaded.
    EXPECT_EQ(static_cast<std::uint32_t>(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)), 0x80010106u);
    CoUninitialize();
    CoUninitialize();
  }).join();
}

TEST(SystemCom, ErrorInformationIsTakenOnce) {
  const HRESULT apartment = CoInitialize();
  SetErrorInfo(u"the server's words");
  EXPECT_EQ(TakeErrorInfo(), std::optional<std::u16string>(u"the server's words"));
  EXPECT_EQ(TakeErrorInfo(), std::nullopt);
  SetErrorInfo(u"dropped");
  ClearErrorInfo();
  EXPECT_EQ(TakeErrorInfo(), std::nullopt);
  if (Succeeded(apartment)) CoUninitialize();
}

TEST(SystemCom, OleCheckTakesTheDescriptionElseTheSystemsText) {
  SetErrorInfo(u"no such table: Controllers.\r\n");
  EXPECT_EQ(MessageOf([] { OleCheck(E_FAIL); }), "no such table: Controllers");
  EXPECT_EQ(MessageOf([] { OleCheck(E_ACCESSDENIED); }),
            TrimMessage(SystemErrorMessage(E_ACCESSDENIED)));
  SetErrorInfo(u"left over");
  EXPECT_EQ(MessageOf([] { OleCheck(S_FALSE); }), "");
  EXPECT_EQ(TakeErrorInfo(), std::nullopt);  // success clears it
}

TEST(SystemCom, SystemTextsAreTheSystemsOwnInUtf8) {
  for (const HRESULT code : {E_INVALIDARG, E_ACCESSDENIED, E_OUTOFMEMORY, HRESULT_MOD_NOT_FOUND}) {
    const std::string text = SystemErrorMessage(code);
    SCOPED_TRACE(OleErrorText(code));
    EXPECT_FALSE(TrimMessage(text).empty());
    EXPECT_EQ(SanitizeUtf8(text), text);
  }
  EXPECT_EQ(SystemErrorMessage(MakeResult(0x8004D00A)), "");
}

// One VARIANT, set up by a case and cleared after it.
struct VariantCase {
  const char* Label;
  std::function<void(VARIANT&)> Make;
  Variant::Kind Kind;
  std::int64_t Integer = 0;
  double Real = 0;
  std::u16string Text = {};
};

TEST(AdoValues, VariantsBecomeOurValues) {
  const auto decimal = [](ULONGLONG magnitude, BYTE scale, bool negative) {
    return [=](VARIANT& v) {
      V_VT(&v) = VT_DECIMAL;
      V_DECIMAL(&v).scale = scale;
      V_DECIMAL(&v).sign = negative ? DECIMAL_NEG : 0;
      V_DECIMAL(&v).Hi32 = 0;
      V_DECIMAL(&v).Lo64 = magnitude;
    };
  };
  static LONG referenced = 41;
  const VariantCase cases[] = {
      {"empty", [](VARIANT&) {}, Variant::Kind::Null},
      {"null", [](VARIANT& v) { V_VT(&v) = VT_NULL; }, Variant::Kind::Null},
      {"i1", [](VARIANT& v) { V_VT(&v) = VT_I1; V_I1(&v) = -5; }, Variant::Kind::Integer, -5},
      {"i2", [](VARIANT& v) { V_VT(&v) = VT_I2; V_I2(&v) = -300; }, Variant::Kind::Integer, -300},
      {"i4", [](VARIANT& v) { V_VT(&v) = VT_I4; V_I4(&v) = 123456; }, Variant::Kind::Integer, 123456},
      {"i8 past 32 bits", [](VARIANT& v) { V_VT(&v) = VT_I8; V_I8(&v) = 4294967297LL; }, Variant::Kind::Integer,
       4294967297LL},
      {"ui1", [](VARIANT& v) { V_VT(&v) = VT_UI1; V_UI1(&v) = 200; }, Variant::Kind::Integer, 200},
      {"ui4 past the signed range", [](VARIANT& v) { V_VT(&v) = VT_UI4; V_UI4(&v) = 4000000000u; },
       Variant::Kind::Integer, 4000000000LL},
      {"ui8 past int64", [](VARIANT& v) { V_VT(&v) = VT_UI8; V_UI8(&v) = 18446744073709551615ull; },
       Variant::Kind::Real, 0, 18446744073709551615.0},
      {"bool true", [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_TRUE; }, Variant::Kind::Integer, -1},
      {"bool false", [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_FALSE; }, Variant::Kind::Integer, 0},
      {"r4", [](VARIANT& v) { V_VT(&v) = VT_R4; V_R4(&v) = 0.5f; }, Variant::Kind::Real, 0, 0.5},
      {"r8", [](VARIANT& v) { V_VT(&v) = VT_R8; V_R8(&v) = -2.25; }, Variant::Kind::Real, 0, -2.25},
      {"currency", [](VARIANT& v) { V_VT(&v) = VT_CY; V_CY(&v).int64 = 12345; }, Variant::Kind::Real, 0, 1.2345},
      {"whole decimal", decimal(42, 0, false), Variant::Kind::Integer, 42},
      {"negative whole decimal", decimal(7, 0, true), Variant::Kind::Integer, -7},
      {"fractional decimal", decimal(15, 1, false), Variant::Kind::Real, 0, 1.5},
      {"text", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = ::SysAllocString(L"Z\u00FCrich"); },
       Variant::Kind::WideText, 0, 0, u"Z\u00FCrich"},
      {"empty text", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = nullptr; }, Variant::Kind::WideText},
      {"by reference", [](VARIANT& v) { V_VT(&v) = VT_I4 | VT_BYREF; V_I4REF(&v) = &referenced; },
       Variant::Kind::Integer, 41},
  };
  for (const VariantCase& c : cases) {
    SCOPED_TRACE(c.Label);
    win32::VariantValue value;
    c.Make(value.Get());
    Variant result;
    ASSERT_EQ(win32::ToVariant(value.Get(), &result), S_OK);
    EXPECT_EQ(result.Type, c.Kind);
    switch (c.Kind) {
      case Variant::Kind::Integer:
        EXPECT_EQ(result.Integer, c.Integer);
        break;
      case Variant::Kind::Real:
        EXPECT_DOUBLE_EQ(result.Real, c.Real);
        break;
      case Variant::Kind::WideText:
        EXPECT_EQ(result.WideText, c.Text);
        break;
      default:
        break;
    }
  }
}

TEST(AdoValues, OtherKindsAreShownAsTextOrRefused) {
  win32::VariantValue date;
  V_VT(&date.Get()) = VT_DATE;
  V_DATE(&date.Get()) = 36526.5;  // 2000-01-01 noon
  Variant result;
  ASSERT_EQ(win32::ToVariant(date.Get(), &result), S_OK);
  EXPECT_EQ(result.Type, Variant::Kind::WideText);
  EXPECT_NE(Utf16ToUtf8(result.WideText).find("2000"), std::string::npos) << Utf16ToUtf8(result.WideText);

  win32::VariantValue object;
  V_VT(&object.Get()) = VT_UNKNOWN;
  V_UNKNOWN(&object.Get()) = nullptr;
  EXPECT_EQ(win32::ToVariant(object.Get(), &result), DISP_E_TYPEMISMATCH);
}

}  // namespace
}  // namespace velmora

// The real velmora-controllers.exe under Wine and Xvfb, read and driven from the
// outside as a user and a screen reader meet it: the test starts the program
// against the registered test server, finds its window and controls, reads their
// positions, sizes, texts and states with the controls' own messages (the list
// view's and the header's through memory in the program's process), and presses
// real keys and mouse buttons with SendInput.
// Usage: win32_gui_test <velmora-controllers.exe> [gtest options]

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring gProgram;
int gDpi = 96;  // the screen's, as the session was started with it

constexpr wchar_t kWindowCaption[] = L"Velmora/Controller Connection Utility";
constexpr wchar_t kTitle[] = L"Velmora Controller Connection Utility";
constexpr int kColumns = 5;  // list-view columns 1..5; column 0 is the empty spacer
const wchar_t* const kCaptions[kColumns] = {L"Site", L"Controller", L"Controller Type", L"Description",
                                            L"Disabled"};

const wchar_t* const kControls[] = {L"VELMORA_TEST_ROWS", L"VELMORA_TEST_OPEN_FAILURE",
                                    L"VELMORA_TEST_EXECUTE_FAILURE", L"VELMORA_TEST_RESULT",
                                    L"VELMORA_TEST_NO_INTERFACE", L"VELMORA_TEST_CLASS_FAILURE",
                                    L"VELMORA_TEST_ROW_COUNT"};

// Polls until ready() or about 20 seconds have passed.
bool WaitFor(const std::function<bool()>& ready) {
  for (int i = 0; i < 400; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ready();
}

std::wstring TextOf(HWND window) {
  wchar_t buffer[4096] = {};
  const LRESULT length = ::SendMessageW(window, WM_GETTEXT, std::size(buffer), reinterpret_cast<LPARAM>(buffer));
  return std::wstring(buffer, static_cast<std::size_t>(std::max<LRESULT>(0, length)));
}

// The screen rectangle of a window, in the parent's client coordinates.
RECT RectIn(HWND window, HWND parent) {
  RECT r;
  ::GetWindowRect(window, &r);
  ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string Describe(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
         std::to_string(r.bottom - r.top);
}

// A block of memory inside another process, for the controls' messages that pass
// pointers: the list view and the header read and write their structures there.
class RemoteBuffer {
 public:
  RemoteBuffer(HANDLE process, std::size_t size) : FProcess(process), FSize(size) {
    FAddress = ::VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  }
  ~RemoteBuffer() {
    if (FAddress) ::VirtualFreeEx(FProcess, FAddress, 0, MEM_RELEASE);
  }
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  char* Address() const { return static_cast<char*>(FAddress); }
  LPARAM Param(std::size_t offset = 0) const { return reinterpret_cast<LPARAM>(Address() + offset); }
  void Write(const void* data, std::size_t size, std::size_t offset = 0) {
    ::WriteProcessMemory(FProcess, Address() + offset, data, std::min(size, FSize - offset), nullptr);
  }
  void Read(void* data, std::size_t size, std::size_t offset = 0) const {
    ::ReadProcessMemory(FProcess, Address() + offset, data, std::min(size, FSize - offset), nullptr);
  }

 private:
  HANDLE FProcess;
  std::size_t FSize;
  void* FAddress = nullptr;
};

// Presses keys and the mouse as the user would.
void Key(WORD key) {
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, input, sizeof(INPUT));
}

void MoveTo(POINT screen) {
  ::SetCursorPos(screen.x, screen.y);
}

void Click(POINT screen, int times = 1) {
  MoveTo(screen);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int i = 0; i < times; ++i) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    ::SendInput(2, input, sizeof(INPUT));
  }
}

// The program, started against the test server with the given controls, and its
// window once shown.
class Program {
 public:
  struct Options {
    std::wstring Rows;
    std::wstring OpenFailure = L"";
    std::wstring ExecuteFailure = L"";
    int GeneratedRows = 0;
  };

  explicit Program(const Options& options) {
    wchar_t dir[MAX_PATH];
    wchar_t file[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"vgu", 0, file);
    FLog = file;
    for (const wchar_t* name : kControls) ::SetEnvironmentVariableW(name, nullptr);
    ::SetEnvironmentVariableW(L"VELMORA_TEST_LOG", FLog.c_str());
    if (!options.Rows.empty()) ::SetEnvironmentVariableW(L"VELMORA_TEST_ROWS", options.Rows.c_str());
    if (!options.OpenFailure.empty()) ::SetEnvironmentVariableW(L"VELMORA_TEST_OPEN_FAILURE", options.OpenFailure.c_str());
    if (!options.ExecuteFailure.empty()) {
      ::SetEnvironmentVariableW(L"VELMORA_TEST_EXECUTE_FAILURE", options.ExecuteFailure.c_str());
    }
    if (options.GeneratedRows > 0) {
      ::SetEnvironmentVariableW(L"VELMORA_TEST_ROW_COUNT", std::to_wstring(options.GeneratedRows).c_str());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring command = L"\"" + gProgram + L"\"";
    FStarted = ::CreateProcessW(gProgram.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &FProcess) != FALSE;
  }
  ~Program() {
    if (FStarted) {
      if (::WaitForSingleObject(FProcess.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(FProcess.hProcess, 99);
      ::WaitForSingleObject(FProcess.hProcess, 10000);
      ::CloseHandle(FProcess.hThread);
      ::CloseHandle(FProcess.hProcess);
    }
    ::DeleteFileW(FLog.c_str());
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Started() const { return FStarted; }
  HANDLE Process() const { return FProcess.hProcess; }

  // A visible top-level window of this process with this caption, or null.
  HWND TopLevel(const wchar_t* caption) const {
    TopLevelSearch search{FProcess.dwProcessId, caption, nullptr};
    ::EnumWindows(&Program::MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.Found;
  }
  HWND WaitForTopLevel(const wchar_t* caption) const {
    HWND found = nullptr;
    WaitFor([&] { return (found = TopLevel(caption)) != nullptr; });
    return found;
  }

  // The main window and its two controls, once shown and idle.
  bool FindWindow() {
    FWindow = WaitForTopLevel(kWindowCaption);
    if (!FWindow) return false;
    ::WaitForInputIdle(FProcess.hProcess, 10000);
    FList = ::FindWindowExW(FWindow, nullptr, WC_LISTVIEWW, nullptr);
    FButton = ::FindWindowExW(FWindow, nullptr, WC_BUTTONW, nullptr);
    return FList && FButton;
  }
  HWND Window() const { return FWindow; }
  HWND List() const { return FList; }
  HWND Button() const { return FButton; }
  HWND Header() const { return reinterpret_cast<HWND>(::SendMessageW(FList, LVM_GETHEADER, 0, 0)); }

  void Activate() const {
    ::SetForegroundWindow(FWindow);
    WaitFor([&] { return ::GetForegroundWindow() == FWindow; });
  }

  // Waits for the program to end; its exit code, or -1 when it did not end.
  int WaitForExit() const {
    if (::WaitForSingleObject(FProcess.hProcess, 20000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(FProcess.hProcess, &code);
    return static_cast<int>(code);
  }

  // Every statement the server received, in order.
  std::vector<std::string> Statements() const {
    std::string all;
    if (FILE* in = _wfopen(FLog.c_str(), L"rb")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) all.append(buffer, n);
      std::fclose(in);
    }
    std::vector<std::string> texts;
    std::istringstream parts(all);
    for (std::string text; std::getline(parts, text, '\0');) {
      if (text.rfind("UPDATE", 0) == 0) texts.push_back(text);
    }
    return texts;
  }
  // Waits until the server has received count statements, and a little longer for
  // any that should not come.
  std::vector<std::string> StatementsAfter(std::size_t count) const {
    WaitFor([&] { return Statements().size() >= count; });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    return Statements();
  }

  // The list view's figures, read through memory in the program's process.
  int ColumnWidth(int column) const { return static_cast<int>(::SendMessageW(FList, LVM_GETCOLUMNWIDTH, column, 0)); }
  int HeaderFormat(int column) const {
    RemoteBuffer remote(Process(), sizeof(HDITEMW));
    HDITEMW item{};
    item.mask = HDI_FORMAT;
    remote.Write(&item, sizeof item);
    ::SendMessageW(Header(), HDM_GETITEMW, column, remote.Param());
    remote.Read(&item, sizeof item);
    return item.fmt;
  }
  std::wstring HeaderText(int column) const {
    RemoteBuffer remote(Process(), sizeof(HDITEMW) + 512);
    HDITEMW item{};
    item.mask = HDI_TEXT;
    item.pszText = reinterpret_cast<wchar_t*>(remote.Address() + sizeof(HDITEMW));
    item.cchTextMax = 256;
    remote.Write(&item, sizeof item);
    ::SendMessageW(Header(), HDM_GETITEMW, column, remote.Param());
    wchar_t text[256] = {};
    remote.Read(text, sizeof text - sizeof(wchar_t), sizeof(HDITEMW));
    return text;
  }
  std::wstring CellText(int row, int column) const {
    RemoteBuffer remote(Process(), sizeof(LVITEMW) + 1024);
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(remote.Address() + sizeof(LVITEMW));
    item.cchTextMax = 512;
    remote.Write(&item, sizeof item);
    const auto length = ::SendMessageW(FList, LVM_GETITEMTEXTW, row, remote.Param());
    std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(0, length)), L'\0');
    remote.Read(text.data(), text.size() * sizeof(wchar_t), sizeof(LVITEMW));
    return text;
  }
  RECT CellRect(int row, int column) const {
    RemoteBuffer remote(Process(), sizeof(RECT));
    RECT r{LVIR_BOUNDS, column, 0, 0};
    remote.Write(&r, sizeof r);
    ::SendMessageW(FList, LVM_GETSUBITEMRECT, row, remote.Param());
    remote.Read(&r, sizeof r);
    if (column == 0) r.right = r.left + ColumnWidth(0);
    return r;
  }
  POINT CellCentre(int row, int column) const {
    const RECT r = CellRect(row, column);
    POINT p{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    ::ClientToScreen(FList, &p);
    return p;
  }
  int RowCount() const { return static_cast<int>(::SendMessageW(FList, LVM_GETITEMCOUNT, 0, 0)); }
  UINT ItemState(int row, UINT mask) const {
    return static_cast<UINT>(::SendMessageW(FList, LVM_GETITEMSTATE, row, mask));
  }
  int FocusedRow() const { return static_cast<int>(::SendMessageW(FList, LVM_GETNEXTITEM, -1, LVNI_FOCUSED)); }

 private:
  struct TopLevelSearch {
    DWORD Pid;
    const wchar_t* Caption;
    HWND Found;
  };
  // The system's calling convention, which a lambda does not have on 32 bits.
  static BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param) {
    auto& s = *reinterpret_cast<TopLevelSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid == s.Pid && ::IsWindowVisible(window) && TextOf(window) == s.Caption) {
      s.Found = window;
      return FALSE;
    }
    return TRUE;
  }

  std::wstring FLog;
  PROCESS_INFORMATION FProcess{};
  bool FStarted = false;
  HWND FWindow = nullptr;
  HWND FList = nullptr;
  HWND FButton = nullptr;
};

const wchar_t kFourRows[] = L"1|1|Arden|North gate|0;1|2|Arden-L|South gate|1;2|1|Z7-RT|Zürich Tor|;2|2|QV8810|Pump room|7";

std::string Update(int disabled, int site, int controller) {
  return "UPDATE Controllers SET ConnectArden=" + std::to_string(disabled) + " WHERE Site = " + std::to_string(site) +
         " and Controller = " + std::to_string(controller);
}

// The window's geometry at the screen's dpi: client size, both controls' bounds,
// the list's column widths, and the header's texts and alignments.
TEST(Win32Window, Layout) {
  struct Case {
    int Dpi;
    SIZE Client;
    RECT Grid, Button;  // in the client area: left, top, right, bottom
  } cases[] = {
      // The font is 11 px at 96 dpi and 17 px at 144; Wine measures its text 13
      // and 20 px high, so everything else grows by 20/13.
      {96, {690, 354}, {8, 8, 681, 313}, {607, 319, 682, 344}},
      {144, {1062, 545}, {12, 12, 1048, 482}, {934, 491, 1049, 529}},
  };
  const Case* found = nullptr;
  for (const Case& c : cases) {
    if (c.Dpi == gDpi) found = &c;
  }
  ASSERT_NE(found, nullptr) << "no figures for " << gDpi << " dpi";
  const Case& c = *found;
  Program program({kFourRows});
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(program.FindWindow());
  RECT client;
  ::GetClientRect(program.Window(), &client);
  const RECT grid = RectIn(program.List(), program.Window());
  const RECT button = RectIn(program.Button(), program.Window());
  std::printf("[%d dpi] client %ldx%ld, grid %s, button %s, columns", gDpi, client.right, client.bottom,
              Describe(grid).c_str(), Describe(button).c_str());
  for (int column = 1; column <= kColumns; ++column) std::printf(" %d", program.ColumnWidth(column));
  std::printf("\n");
  EXPECT_EQ(client.right, c.Client.cx);
  EXPECT_EQ(client.bottom, c.Client.cy);
  EXPECT_EQ(Describe(grid), Describe(c.Grid));
  EXPECT_EQ(Describe(button), Describe(c.Button));
  EXPECT_EQ(TextOf(program.Button()), L"Close");

  // Auto-width: the columns fill the list's client width exactly, in proportion to
  // their defined widths; the spacer column has none.
  RECT listClient;
  ::GetClientRect(program.List(), &listClient);
  int total = 0;
  for (int column = 0; column <= kColumns; ++column) total += program.ColumnWidth(column);
  EXPECT_EQ(program.ColumnWidth(0), 0);
  EXPECT_EQ(total, listClient.right);
  // Every header centred, with its field's name.
  for (int column = 1; column <= kColumns; ++column) {
    SCOPED_TRACE(column);
    EXPECT_EQ(program.HeaderText(column), kCaptions[column - 1]);
    EXPECT_EQ(program.HeaderFormat(column) & HDF_JUSTIFYMASK, HDF_CENTER);
  }
  EXPECT_EQ(program.RowCount(), 4);
  EXPECT_EQ(program.CellText(2, 3), L"Z7-RT");
  EXPECT_EQ(program.CellText(2, 4), L"Zürich Tor");
}

TEST(Win32Window, TabOrderIsGridThenClose) {
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  EXPECT_EQ(::GetNextDlgTabItem(program.Window(), program.List(), FALSE), program.Button());
  EXPECT_EQ(::GetNextDlgTabItem(program.Window(), program.Button(), FALSE), program.List());
  EXPECT_EQ(::GetNextDlgTabItem(program.Window(), program.List(), TRUE), program.Button());
}

// The ways to close the window; each ends the program with 0 and sends nothing.
TEST(Win32Window, ClosingEndsTheProgramWithZero) {
  struct Case {
    const char* Label;
    std::function<void(Program&)> Close;
  } cases[] = {
      {"Close button by mouse",
       [](Program& p) {
         RECT r;
         ::GetWindowRect(p.Button(), &r);
         Click({(r.left + r.right) / 2, (r.top + r.bottom) / 2});
       }},
      {"Esc in the grid", [](Program&) { Key(VK_ESCAPE); }},
      {"Tab to Close, then Space",
       [](Program&) {
         Key(VK_TAB);
         std::this_thread::sleep_for(std::chrono::milliseconds(200));
         Key(VK_SPACE);
       }},
      {"the window's own close", [](Program& p) { ::PostMessageW(p.Window(), WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    Program program({kFourRows});
    ASSERT_TRUE(program.FindWindow());
    program.Activate();
    c.Close(program);
    EXPECT_EQ(program.WaitForExit(), 0);
    EXPECT_TRUE(program.Statements().empty());
  }
}

// The point of a cell that is no check box: the cell's left end.
POINT BesideTheBox(const Program& program, int row, int column) {
  const RECT r = program.CellRect(row, column);
  POINT p{r.left + 3, (r.top + r.bottom) / 2};
  ::ClientToScreen(program.List(), &p);
  return p;
}

TEST(Win32Grid, AClickOnTheBoxTogglesItOnce) {
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  program.Activate();
  Click(program.CellCentre(0, kColumns));
  EXPECT_EQ(program.StatementsAfter(1), std::vector<std::string>{Update(1, 1, 1)});
  // A click beside the box, in the same cell, toggles nothing.
  Click(BesideTheBox(program, 1, kColumns));
  EXPECT_EQ(program.StatementsAfter(1).size(), 1u);
  EXPECT_EQ(program.FocusedRow(), 1);
}

// Space toggles the row's box whichever cell of the row the user clicked last.
TEST(Win32Grid, SpaceTogglesFromEveryColumn) {
  struct Case {
    int Column;
    int Row;
    std::string Statement;
  } cases[] = {
      {1, 0, Update(1, 1, 1)},  // 0 -> 1
      {2, 1, Update(0, 1, 2)},  // 1 -> 0
      {3, 2, Update(1, 2, 1)},  // null -> 1
      {4, 3, Update(1, 2, 2)},  // 7 (no 0 or 1) -> 1
      {5, 0, Update(0, 1, 1)},  // 1 again -> 0
  };
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  program.Activate();
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(kCaptions[c.Column - 1]);
    Click(BesideTheBox(program, c.Row, c.Column));
    ASSERT_TRUE(WaitFor([&] { return program.FocusedRow() == c.Row; }));
    EXPECT_EQ(program.Statements().size(), expected.size()) << "the click itself toggled";
    Key(VK_SPACE);
    expected.push_back(c.Statement);
    EXPECT_EQ(program.StatementsAfter(expected.size()), expected);
  }
}

// An error box as it is on screen: its caption, text, buttons and which of the
// system's icons it shows.
struct ErrorBox {
  std::wstring Caption;
  std::wstring Text;
  std::vector<std::wstring> Buttons;
  const char* Icon = "none";
};

// Which system icon the box's icon control shows, judged by its pixels on the
// screen against each icon drawn the same size on the same background.
const char* IconOnScreen(HWND control) {
  RECT r;
  ::GetWindowRect(control, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return "none";
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP shown = ::CreateCompatibleBitmap(screen, width, height);
  HBITMAP drawn = ::CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = ::SelectObject(memory, shown);
  ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  const COLORREF background = ::GetPixel(memory, 0, 0);
  std::vector<COLORREF> shownPixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) shownPixels.push_back(::GetPixel(memory, x, y));
  }
  struct Candidate {
    const char* Name;
    LPCWSTR Id;
  } candidates[] = {{"stop", IDI_HAND}, {"warning", IDI_EXCLAMATION}, {"information", IDI_ASTERISK},
                    {"question", IDI_QUESTION}};
  const char* best = "none";
  std::size_t bestDifference = shownPixels.size() / 10;  // a near match only
  for (const Candidate& c : candidates) {
    ::SelectObject(memory, drawn);
    HBRUSH brush = ::CreateSolidBrush(background);
    RECT all{0, 0, width, height};
    ::FillRect(memory, &all, brush);
    ::DeleteObject(brush);
    HICON icon = static_cast<HICON>(::LoadImageW(nullptr, c.Id, IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
    ::DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
    std::size_t difference = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (::GetPixel(memory, x, y) != shownPixels[static_cast<std::size_t>(y * width + x)]) ++difference;
      }
    }
    if (difference < bestDifference) {
      bestDifference = difference;
      best = c.Name;
    }
  }
  ::SelectObject(memory, old);
  ::DeleteObject(shown);
  ::DeleteObject(drawn);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return best;
}

ErrorBox ReadBox(HWND box) {
  ErrorBox read;
  read.Caption = TextOf(box);
  for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[64] = {};
    ::GetClassNameW(child, name, static_cast<int>(std::size(name)));
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(name, L"Button") == 0 && (style & WS_VISIBLE)) {
      read.Buttons.push_back(TextOf(child));
    } else if (_wcsicmp(name, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
      read.Icon = IconOnScreen(child);
    } else if (_wcsicmp(name, L"Static") == 0 && !TextOf(child).empty()) {
      read.Text = TextOf(child);
    }
  }
  return read;
}

// A failed load: the box comes before the window, shows the message as plain text
// with a full stop, a stop icon, one OK button and the application title; answered,
// the window opens with an empty list.
TEST(Win32ErrorBox, AFailedLoadShowsItsBoxFirst) {
  struct Case {
    const char* Label;
    const wchar_t* Failure;
    const wchar_t* Text;
  } cases[] = {
      {"markup is text", L"80004005 Site <b>7</b> & <i>gate</i>", L"Site <b>7</b> & <i>gate</i>."},
      {"a code without text", L"8004D00A", L"OLE error 8004D00A."},
      {"ends in a full stop already", L"80004005 no such table: Controllers.", L"no such table: Controllers."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    Program program({kFourRows, c.Failure});
    ASSERT_TRUE(program.Started());
    HWND box = program.WaitForTopLevel(kTitle);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(program.TopLevel(kWindowCaption), nullptr) << "the window came before the box";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // drawn
    const ErrorBox read = ReadBox(box);
    EXPECT_EQ(read.Caption, kTitle);
    EXPECT_EQ(read.Text, c.Text);
    EXPECT_EQ(read.Buttons, std::vector<std::wstring>{L"OK"});
    EXPECT_STREQ(read.Icon, "stop");
    ::SetForegroundWindow(box);
    Key(VK_RETURN);
    ASSERT_TRUE(program.FindWindow());
    EXPECT_EQ(program.RowCount(), 0);
    ::PostMessageW(program.Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitForExit(), 0);
  }
}

// A write-back the server refuses: one box per toggle, the box keeps the state the
// table restored, and the next toggle tries again.
TEST(Win32ErrorBox, ARefusedWriteBackShowsItsBoxAndTheNextToggleTriesAgain) {
  Program program({kFourRows, L"", L"80004005 database is locked"});
  ASSERT_TRUE(program.FindWindow());
  program.Activate();
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    Click(program.CellCentre(0, kColumns));
    HWND box = program.WaitForTopLevel(kTitle);
    ASSERT_NE(box, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ErrorBox read = ReadBox(box);
    EXPECT_EQ(read.Text, L"database is locked.");
    EXPECT_STREQ(read.Icon, "stop");
    ::SetForegroundWindow(box);
    Key(VK_RETURN);
    ASSERT_TRUE(WaitFor([&] { return program.TopLevel(kTitle) == nullptr; }));
    EXPECT_EQ(program.Statements().size(), static_cast<std::size_t>(attempt));
  }
}

// The state image of each row is its box's state, as the table holds it: what the
// system's accessibility layer reads from a list view's check boxes.
std::string StateImages(const Program& program) {
  std::string states;
  for (int row = 0; row < program.RowCount(); ++row) {
    const UINT image = program.ItemState(row, LVIS_STATEIMAGEMASK) >> 12;
    states += image == 2 ? 'x' : image == 1 ? '.' : '?';
  }
  return states;
}

TEST(Win32Grid, StateImagesFollowTheTable) {
  Program program({kFourRows, L"", L"80004005 database is locked"});
  ASSERT_TRUE(program.FindWindow());
  EXPECT_EQ(StateImages(program), ".x..");  // 0, 1, null, 7
  program.Activate();
  // A refused write-back leaves the box as the database holds it.
  Click(program.CellCentre(1, kColumns));
  HWND box = program.WaitForTopLevel(kTitle);
  ASSERT_NE(box, nullptr);
  ::SetForegroundWindow(box);
  Key(VK_RETURN);
  ASSERT_TRUE(WaitFor([&] { return program.TopLevel(kTitle) == nullptr; }));
  EXPECT_EQ(StateImages(program), ".x..");
}

TEST(Win32Grid, ADoubleClickOnTheBoxTogglesOnce) {
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  program.Activate();
  Click(program.CellCentre(0, kColumns), 2);
  // Both presses arrive at once; any second statement would be in by then.
  EXPECT_EQ(program.StatementsAfter(1), std::vector<std::string>{Update(1, 1, 1)});
  EXPECT_EQ(StateImages(program), "xx..");
}

// Two rows with the same Site and Controller: a toggle of either would change
// both records, so it is refused with a box that says why, and nothing is sent.
TEST(Win32Grid, ARowSharingItsKeyRefusesItsToggle) {
  Program program({L"1|1|Arden|North gate|0;1|1|Arden|North gate copy|0;1|2|Arden-L|South gate|0"});
  ASSERT_TRUE(program.FindWindow());
  program.Activate();
  for (int row : {0, 1}) {
    SCOPED_TRACE(row);
    Click(program.CellCentre(row, kColumns));
    HWND box = program.WaitForTopLevel(kTitle);
    ASSERT_NE(box, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ErrorBox read = ReadBox(box);
    EXPECT_EQ(read.Text, L"Site 1, Controller 1 is listed more than once, so this change was not stored: it would "
                         L"change every record with this Site and Controller at once.");
    EXPECT_STREQ(read.Icon, "stop");
    ::SetForegroundWindow(box);
    Key(VK_RETURN);
    ASSERT_TRUE(WaitFor([&] { return program.TopLevel(kTitle) == nullptr; }));
  }
  EXPECT_TRUE(program.Statements().empty());
  EXPECT_EQ(StateImages(program), "...");
  // The row with a key of its own still toggles.
  Click(program.CellCentre(2, kColumns));
  EXPECT_EQ(program.StatementsAfter(1), std::vector<std::string>{Update(1, 1, 2)});
}

// The darkest pixel inside a cell: its text's colour, as drawn.
COLORREF DarkestIn(const Program& program, int row, int column) {
  RECT r = program.CellRect(row, column);
  ::MapWindowPoints(program.List(), nullptr, reinterpret_cast<POINT*>(&r), 2);
  HDC screen = ::GetDC(nullptr);
  COLORREF darkest = RGB(255, 255, 255);
  int darkestSum = 3 * 255 + 1;
  for (int y = r.top + 2; y < r.bottom - 2; ++y) {
    for (int x = r.left + 2; x < r.right - 2; ++x) {
      const COLORREF c = ::GetPixel(screen, x, y);
      const int sum = GetRValue(c) + GetGValue(c) + GetBValue(c);
      if (sum < darkestSum) {
        darkestSum = sum;
        darkest = c;
      }
    }
  }
  ::ReleaseDC(nullptr, screen);
  return darkest;
}

double Luminance(COLORREF c) {
  const auto channel = [](int v) {
    const double s = v / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(GetRValue(c)) + 0.7152 * channel(GetGValue(c)) + 0.0722 * channel(GetBValue(c));
}

double Contrast(COLORREF a, COLORREF b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A disabled controller's row is drawn lighter than the others, and still at 4.5:1
// or more against the list's background, as measured on the screen.
TEST(Win32Grid, SubduedRowsStandOutAndStayReadable) {
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  // Nothing selected, so both rows are in the list's own colours.
  ::SendMessageW(program.List(), WM_KILLFOCUS, 0, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const COLORREF background = ::GetSysColor(COLOR_WINDOW);
  const COLORREF normal = DarkestIn(program, 0, 4);    // North gate: enabled
  const COLORREF subdued = DarkestIn(program, 1, 4);   // South gate: disabled
  std::printf("text %06lx, subdued %06lx on %06lx: %.2f:1 and %.2f:1\n", normal, subdued, background,
              Contrast(normal, background), Contrast(subdued, background));
  EXPECT_NE(normal, subdued);
  EXPECT_GT(Luminance(subdued), Luminance(normal));
  EXPECT_GE(Contrast(subdued, background), 4.5);
}

// A box holding neither 0 nor 1 says which value the database holds when the mouse
// rests on it.
TEST(Win32Grid, AnOddValueHasItsNote) {
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  program.Activate();
  const auto tipText = [&]() -> std::wstring {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, TOOLTIPS_CLASSW, nullptr); w;
         w = ::FindWindowExW(nullptr, w, TOOLTIPS_CLASSW, nullptr)) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(w, &pid);
      if (pid == ::GetProcessId(program.Process()) && ::IsWindowVisible(w) && !TextOf(w).empty()) return TextOf(w);
    }
    return L"";
  };
  MoveTo(program.CellCentre(3, kColumns));
  std::wstring text;
  WaitFor([&] { return !(text = tipText()).empty(); });
  EXPECT_EQ(text, L"The database holds 7 for this controller: neither enabled nor disabled");
  // An ordinary box has none.
  MoveTo(program.CellCentre(0, kColumns));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(tipText(), L"");
}

// A load that takes a while shows its progress in a window of its own, which is
// gone when the window opens with every row.
TEST(Win32Window, ALargeLoadShowsItsProgress) {
  // Long enough on any machine for the window to show for a while.
  constexpr int kRows = 1000000;
  Program program({L"", L"", L"", kRows});
  ASSERT_TRUE(program.Started());
  // Read while it shows: it goes as soon as the load is over.
  HWND progress = nullptr;
  std::wstring text;
  WaitFor([&] {
    progress = program.TopLevel(L"Loading controllers");
    HWND label = progress ? ::FindWindowExW(progress, nullptr, WC_STATICW, nullptr) : nullptr;
    text = label ? TextOf(label) : L"";
    return !text.empty();
  });
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(text.rfind(L"Reading the controller list: ", 0), 0u) << std::string(text.begin(), text.end());
  ASSERT_TRUE(program.FindWindow());
  EXPECT_EQ(program.RowCount(), kRows);
  EXPECT_FALSE(::IsWindow(progress) && ::IsWindowVisible(progress));
  EXPECT_EQ(program.CellText(kRows - 1, 4), L"Row 1000000");
}

// What a screen reader finds through the system's accessibility layer (MSAA).
TEST(Win32Accessibility, TheWindowAndTheListHaveNamesAndRoles) {
  Program program({kFourRows});
  ASSERT_TRUE(program.FindWindow());
  ::CoInitialize(nullptr);
  const auto nameAndRole = [](HWND window, LONG object) {
    IAccessible* accessible = nullptr;
    std::wstring name = L"(none)";
    long role = -1;
    // Named by __uuidof: the import library's IID_IAccessible was answered with
    // E_NOINTERFACE here.
    const HRESULT hr = ::AccessibleObjectFromWindow(window, static_cast<DWORD>(object), __uuidof(IAccessible),
                                                    reinterpret_cast<void**>(&accessible));
    if (SUCCEEDED(hr) && accessible) {
      VARIANT self;
      ::VariantInit(&self);
      self.vt = VT_I4;
      self.lVal = CHILDID_SELF;
      BSTR text = nullptr;
      if (SUCCEEDED(accessible->get_accName(self, &text)) && text) name = text;
      ::SysFreeString(text);
      VARIANT value;
      ::VariantInit(&value);
      if (SUCCEEDED(accessible->get_accRole(self, &value)) && value.vt == VT_I4) role = value.lVal;
      accessible->Release();
    }
    return std::make_pair(name, role);
  };
  // Wine's layer offers the client object of each window, named by its text; it
  // knows no list-view items (Windows' own proxy reads their state images).
  const auto window = nameAndRole(program.Window(), OBJID_CLIENT);
  EXPECT_EQ(window.first, kWindowCaption);
  const auto list = nameAndRole(program.List(), OBJID_CLIENT);
  EXPECT_EQ(list.first, L"Controllers");
  std::printf("MSAA: window role %ld, list role %ld\n", window.second, list.second);
  ::CoUninitialize();
}

}  // namespace

int main(int argc, char** argv) {
  // The program's own pixels, unscaled, as it is dpi-aware itself.
  ::SetProcessDPIAware();
  HDC screen = ::GetDC(nullptr);
  gDpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: win32_gui_test <velmora-controllers.exe> [gtest options]\n");
    return 2;
  }
  const std::string program = argv[1];
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, program.c_str(), -1, nullptr, 0);
  gProgram.resize(static_cast<std::size_t>(length));
  ::MultiByteToWideChar(CP_UTF8, 0, program.c_str(), -1, gProgram.data(), length);
  gProgram.resize(gProgram.size() - 1);
  return RUN_ALL_TESTS();
}

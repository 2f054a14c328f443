#include "ui/win32/main_window.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ui/win32/guard.h"
#include "ui/win32/text.h"

namespace velmora::winui {
namespace {

// A load that takes longer than this shows its progress window, as in the Qt front
// end; repainted at most this often.
constexpr DWORD kLoadProgressDelayMs = 500;
constexpr DWORD kLoadProgressRepaintMs = 100;
constexpr wchar_t kProgressClass[] = L"VelmoraLoadProgress";

int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : TfrmMain::Definition().PixelsPerInch;
}

// The text height of a font as it is drawn here (ascent plus descent).
int TextHeight(HFONT font) {
  HDC screen = ::GetDC(nullptr);
  if (!screen) return 0;
  HGDIOBJ old = ::SelectObject(screen, font);
  TEXTMETRICW metrics{};
  const bool measured = ::GetTextMetricsW(screen, &metrics) != FALSE;
  ::SelectObject(screen, old);
  ::ReleaseDC(nullptr, screen);
  return measured ? metrics.tmHeight : 0;
}

std::wstring ProgressText(int rows) {
  // Grouped by thousands, as the operator reads a count.
  std::wstring digits = std::to_wstring(rows);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), L",");
  return L"Reading the controller list: " + digits + L" controllers read";
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance)
    : FInstance(instance), FForm(*this), FGrid(TfrmMain::Definition().GridView, FForm.DataSource1) {}

MainWindow::~MainWindow() {
  EndLoadProgress();
  if (FWindow) ::DestroyWindow(FWindow);
  if (FFont) ::DeleteObject(FFont);
}

void MainWindow::Create() {
  const FormDef& def = TfrmMain::Definition();
  const int dpi = ScreenDpi();
  // The font scales by pixels per inch; the layout by the text height it measures.
  FFont = ::CreateFontW(-FormScale::FontHeightFor(def, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, Wide(def.FontName).c_str());
  FScale = FormScale::For(def, dpi, TextHeight(FFont));
  const std::wstring className = Wide(def.ClassName);

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &MainWindow::WindowProc;
  windowClass.hInstance = FInstance;
  windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(
      static_cast<INT_PTR>((def.ButtonFaceBackground ? COLOR_BTNFACE : COLOR_WINDOW) + 1));
  windowClass.lpszClassName = className.c_str();
  if (!::RegisterClassExW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    throw std::runtime_error("The main window class could not be registered");
  }

  // Unowned and with WS_EX_APPWINDOW: the main window has the taskbar button itself.
  const DWORD style = def.Sizeable ? WS_OVERLAPPEDWINDOW : (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
  const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
  RECT frame{0, 0, FScale.Scale(def.ClientWidth), FScale.Scale(def.ClientHeight)};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const std::wstring caption = Wide(def.Caption);
  FWindow = ::CreateWindowExW(exStyle, className.c_str(), caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, FInstance, this);
  if (!FWindow) throw std::runtime_error("The main window could not be created");

  CreateControls();
  FProgressClock = ::GetTickCount();
  FProgressDue = true;
  Guarded([&] { FForm.FormCreate(); });
  FProgressDue = false;
  EndLoadProgress();
}

void MainWindow::CreateControls() {
  const FormDef& def = TfrmMain::Definition();
  const auto scaled = [&](const Bounds& bounds) {
    const Bounds b = FScale.Scale(bounds);
    return RECT{b.Left, b.Top, b.Left + b.Width, b.Top + b.Height};
  };
  // Created in tab order, which is the order Tab visits them.
  std::vector<const ControlDef*> controls{&def.Grid, &def.CloseButton};
  std::stable_sort(controls.begin(), controls.end(),
                   [](const ControlDef* a, const ControlDef* b) { return a->TabOrder < b->TabOrder; });
  for (const ControlDef* control : controls) {
    const RECT r = scaled(control->Bounds);
    if (control == &def.Grid) {
      FGrid.Create(FWindow, r, FScale, FFont);
    } else {
      const std::wstring text = Wide(control->Caption);
      // Esc reaches the cancel button through its id.
      const auto id = static_cast<INT_PTR>(control->Cancel ? IDCANCEL : IDOK);
      FCloseButton = ::CreateWindowExW(0, WC_BUTTONW, text.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                                       r.left, r.top, r.right - r.left, r.bottom - r.top, FWindow,
                                       reinterpret_cast<HMENU>(id), FInstance, nullptr);
      ::SendMessageW(FCloseButton, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
    }
  }
}

void MainWindow::Show(int command) {
  ::ShowWindow(FWindow, command);
  ::UpdateWindow(FWindow);
  ::SetFocus(FGrid.Handle());
}

void MainWindow::Close() { ::SendMessageW(FWindow, WM_CLOSE, 0, 0); }

void MainWindow::ShowLoadProgress(int rowsRead) {
  if (!FProgressDue) return;
  const DWORD elapsed = ::GetTickCount() - FProgressClock;
  if (elapsed < kLoadProgressDelayMs || (FProgress && elapsed - FProgressPainted < kLoadProgressRepaintMs)) return;
  if (!FProgress) CreateProgressWindow();
  if (!FProgress) return;
  ::SetWindowTextW(FProgressLabel, ProgressText(rowsRead).c_str());
  FProgressPainted = elapsed;
  // Paint now; the operator's input waits for the window that is still to come.
  ::UpdateWindow(FProgress);
  MSG message;
  while (::PeekMessageW(&message, FProgress, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
}

void MainWindow::CreateProgressWindow() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &::DefWindowProcW;
  windowClass.hInstance = FInstance;
  windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = kProgressClass;
  if (!::RegisterClassExW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
  // Wide enough for any count, so the window never grows while it counts.
  const std::wstring widest = ProgressText(99'999'999);
  HDC screen = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(screen, FFont);
  SIZE text{};
  ::GetTextExtentPoint32W(screen, widest.c_str(), static_cast<int>(widest.size()), &text);
  ::SelectObject(screen, old);
  ::ReleaseDC(nullptr, screen);
  const int margin = FScale.Scale(12);
  const DWORD style = WS_POPUP | WS_CAPTION | WS_VISIBLE;
  RECT frame{0, 0, text.cx + 2 * margin, text.cy + 2 * margin};
  ::AdjustWindowRectEx(&frame, style, FALSE, WS_EX_TOOLWINDOW);
  RECT work{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  FProgress = ::CreateWindowExW(WS_EX_TOOLWINDOW, kProgressClass, L"Loading controllers", style,
                                (work.left + work.right - width) / 2, (work.top + work.bottom - height) / 2, width,
                                height, nullptr, nullptr, FInstance, nullptr);
  if (!FProgress) return;
  FProgressLabel = ::CreateWindowExW(0, WC_STATICW, L"", WS_CHILD | WS_VISIBLE | SS_LEFT, margin, margin, text.cx,
                                     text.cy, FProgress, nullptr, FInstance, nullptr);
  ::SendMessageW(FProgressLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
}

// Before the load's failure reaches its box, so the box is not left behind a window
// that is about to go.
void MainWindow::EndLoadProgress() {
  FProgressDue = false;
  if (FProgress) ::DestroyWindow(FProgress);
  FProgress = nullptr;
  FProgressLabel = nullptr;
}

void MainWindow::BeginBusy() {
  if (FBusy++ == 0) FCursorBeforeBusy = ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
}

void MainWindow::EndBusy() {
  if (FBusy > 0 && --FBusy == 0) ::SetCursor(FCursorBeforeBusy);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<MainWindow*>(create->lpCreateParams)->FWindow = window;
  }
  auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = 0;
  if (!Guarded([&] { result = self->Message(message, wParam, lParam); })) result = 0;
  return result;
}

LRESULT MainWindow::Message(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // The Close button's click, and Esc, which the dialog manager turns into it.
      if (LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == BN_CLICKED) {
        Guarded([&] { FForm.btnCloseClick(); });
        return 0;
      }
      break;
    case WM_NOTIFY: {
      LRESULT result = 0;
      if (FGrid.Notify(*reinterpret_cast<const NMHDR*>(lParam), result)) return result;
      break;
    }
    case WM_SETCURSOR:
      // A box shown while a call is under way comes first; otherwise the wait
      // cursor stays for the whole call.
      if (FBusy > 0 && LOWORD(lParam) == HTCLIENT) {
        ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
        return TRUE;
      }
      break;
    case WM_ACTIVATE:
      // Coming back to the window, the focus goes to the grid if nothing has it.
      if (LOWORD(wParam) != WA_INACTIVE && ::GetFocus() == nullptr) ::SetFocus(FGrid.Handle());
      break;
    case WM_CLOSE:
      Guarded([&] { FForm.FormClose(); });
      ::DestroyWindow(FWindow);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      HWND window = std::exchange(FWindow, nullptr);
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      return ::DefWindowProcW(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return ::DefWindowProcW(FWindow, message, wParam, lParam);
}

}  // namespace velmora::winui

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

// The definition's font: 11 pixels at 96 per inch, which is 8 points.
constexpr int kFontPoints = 8;

int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance)
    : FInstance(instance), FForm(*this), FGrid(TfrmMain::Definition().GridView, FForm.DataSource1) {}

MainWindow::~MainWindow() {
  if (FWindow) ::DestroyWindow(FWindow);
  if (FFont) ::DeleteObject(FFont);
}

int MainWindow::Scale(int pixels) const { return ::MulDiv(pixels, FDpi, TfrmMain::Definition().PixelsPerInch); }

void MainWindow::Create() {
  const FormDef& def = TfrmMain::Definition();
  FDpi = ScreenDpi();
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
  RECT frame{0, 0, Scale(def.ClientWidth), Scale(def.ClientHeight)};
  ::AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  const std::wstring caption = Wide(def.Caption);
  FWindow = ::CreateWindowExW(exStyle, className.c_str(), caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, FInstance, this);
  if (!FWindow) throw std::runtime_error("The main window could not be created");

  FFont = ::CreateFontW(-::MulDiv(kFontPoints, FDpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                        Wide(def.FontName).c_str());
  CreateControls();
  Guarded([&] { FForm.FormCreate(); });
}

void MainWindow::CreateControls() {
  const FormDef& def = TfrmMain::Definition();
  const auto scaled = [&](const Bounds& b) {
    return RECT{Scale(b.Left), Scale(b.Top), Scale(b.Left + b.Width), Scale(b.Top + b.Height)};
  };
  // Created in tab order, which is the order Tab visits them.
  std::vector<const ControlDef*> controls{&def.Grid, &def.CloseButton};
  std::stable_sort(controls.begin(), controls.end(),
                   [](const ControlDef* a, const ControlDef* b) { return a->TabOrder < b->TabOrder; });
  for (const ControlDef* control : controls) {
    const RECT r = scaled(control->Bounds);
    if (control == &def.Grid) {
      FGrid.Create(FWindow, r, FDpi);
      ::SendMessageW(FGrid.Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
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

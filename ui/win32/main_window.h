#pragma once

#include <memory>

#include "controllers/main_window.h"
#include "service/com_win32.h"
#include "ui/win32/controller_list.h"

namespace velmora::winui {

// frmMain as a native window: built from TfrmMain::Definition(), it owns the
// TfrmMain and routes creation, closing, the Close button, Esc and the grid's
// toggles to it, each through the failure guard.
class MainWindow : private TfrmMain::Host {
 public:
  explicit MainWindow(HINSTANCE instance);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Builds the window and its controls, then runs FormCreate, all before the
  // window is shown: a failed load shows its box first.
  void Create();
  void Show(int command);
  HWND Handle() const { return FWindow; }
  TfrmMain& Form() { return FForm; }

 private:
  // Host: closes through WM_CLOSE, so FormClose runs on the way.
  void Close() override;

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  int Scale(int pixels) const;

  HINSTANCE FInstance;
  TfrmMain FForm;
  ControllerList FGrid;
  HWND FWindow = nullptr;
  HWND FCloseButton = nullptr;
  HFONT FFont = nullptr;
  int FDpi = 96;
};

}  // namespace velmora::winui

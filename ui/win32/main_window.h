#pragma once

#include <memory>

#include "controllers/form_scale.h"
#include "controllers/main_window.h"
#include "service/com_win32.h"
#include "ui/win32/controller_list.h"

namespace velmora::winui {

// frmMain as a native window: built from TfrmMain::Definition() and scaled for the
// screen, it owns the TfrmMain and routes creation, closing, the Close button, Esc
// and the grid's toggles to it, each through the failure guard; it shows the
// load's progress and the busy cursor when the form asks.
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
  // Host: a progress window once the load has run kLoadProgressDelayMs.
  void ShowLoadProgress(int rowsRead) override;
  void EndLoadProgress() override;
  // Host: the wait cursor while a call into the service is under way.
  void BeginBusy() override;
  void EndBusy() override;
  void CreateProgressWindow();

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();

  HINSTANCE FInstance;
  TfrmMain FForm;
  ControllerList FGrid;
  HWND FWindow = nullptr;
  HWND FCloseButton = nullptr;
  HFONT FFont = nullptr;
  FormScale FScale;
  // The load's progress window, and when the load began.
  HWND FProgress = nullptr;
  HWND FProgressLabel = nullptr;  // owned by FProgress
  bool FProgressDue = false;      // only the creation handler's load shows progress
  DWORD FProgressClock = 0;
  DWORD FProgressPainted = 0;
  int FBusy = 0;  // nesting of BeginBusy
  HCURSOR FCursorBeforeBusy = nullptr;
};

}  // namespace velmora::winui

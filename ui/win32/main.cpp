// velmora-controllers.exe: lists the controllers of the controller database and lets
// the operator switch "Disabled" for each, through the site's hardware service.

#include "service/com_win32.h"
#include "ui/win32/application.h"
#include "ui/win32/guard.h"
#include "ui/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  velmora::winui::Application application;
  // A failed load is reported inside Create and the window opens anyway; a window
  // the system cannot make is reported in its box. The program exits with 0 either
  // way: its only failure report is the box.
  velmora::winui::Guarded([&] {
    velmora::winui::MainWindow frmMain(instance);
    frmMain.Create();
    frmMain.Show(show);
    application.Run(frmMain.Handle());
  });
  return 0;
}

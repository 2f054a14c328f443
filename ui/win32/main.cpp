// velmora-controllers.exe: lists the controllers of the controller database and lets
// the operator switch "Disabled" for each, through the site's hardware service.

#include "service/com_win32.h"
#include "ui/win32/application.h"
#include "ui/win32/guard.h"
#include "ui/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  velmora::winui::Application application;
  int code = 0;
  // A failed load is reported inside Create and the window opens anyway; only a
  // window the system cannot make ends the program, after its box.
  const bool ran = velmora::winui::Guarded([&] {
    velmora::winui::MainWindow frmMain(instance);
    frmMain.Create();
    frmMain.Show(show);
    code = application.Run(frmMain.Handle());
  });
  return ran ? code : 1;
}

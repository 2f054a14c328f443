#pragma once

#include "service/com_win32.h"

namespace velmora::winui {

// The application object: prepares the platform for the UI thread (common
// controls, a single-threaded COM apartment), runs the message loop of the main
// window, and tears the apartment down again if it started it.
class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Dispatches messages until the main window has gone; Tab, Esc and the other
  // dialog keys work between the window's controls.
  void Run(HWND mainWindow);

 private:
  HRESULT FApartment;
};

}  // namespace velmora::winui

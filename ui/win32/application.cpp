#include "ui/win32/application.h"

#include <commctrl.h>

namespace velmora::winui {

Application::Application() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  FApartment = CoInitialize();
}

Application::~Application() {
  if (Succeeded(FApartment)) CoUninitialize();
}

void Application::Run(HWND mainWindow) {
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (mainWindow && ::IsWindow(mainWindow) && ::IsDialogMessageW(mainWindow, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

}  // namespace velmora::winui

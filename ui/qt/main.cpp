// velmora-controllers: lists the controllers of the controller database and lets the
// operator switch "Disabled" for each, through the hardware service.

#include <QApplication>

#include "app/application.h"
#include "service/com.h"
#include "ui/qt/main_window_widget.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // No display name: Qt would append it to every window caption.
  QApplication::setApplicationName("velmora-controllers");
  QApplication::setApplicationVersion(QString::fromUtf8(velmora::kVersion.data(), velmora::kVersion.size()));
  QGuiApplication::setDesktopFileName("velmora-controllers");

  const velmora::HRESULT apartment = velmora::CoInitialize();
  {
    velmora::qt::MainWindowWidget frmMain;
    frmMain.Create();
    frmMain.show();
    QApplication::exec();
  }
  if (velmora::Succeeded(apartment)) velmora::CoUninitialize();
  return 0;
}

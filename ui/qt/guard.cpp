#include "ui/qt/guard.h"

#include <QApplication>
#include <QWidget>

#include "app/application.h"
#include "ui/qt/message_box.h"

namespace velmora::qt {
namespace {

class QtFailurePlatform : public FailurePlatform {
 public:
  void CancelMouseCapture() override {
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  }
  void ShowErrorBox(const std::string& caption, const std::string& text) override {
    QWidget* parent = QApplication::activeWindow();
    MessageBox::Critical(parent, QString::fromStdString(caption), QString::fromStdString(text));
  }
};

}  // namespace

FailurePlatform& Platform() {
  static QtFailurePlatform platform;
  return platform;
}

}  // namespace velmora::qt

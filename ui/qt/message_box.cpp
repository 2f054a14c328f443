#include "ui/qt/message_box.h"

#include <QMessageBox>

namespace velmora::qt {
namespace {

MessageBox::Interceptor& CurrentInterceptor() {
  static MessageBox::Interceptor interceptor;
  return interceptor;
}

}  // namespace

void MessageBox::Critical(QWidget* parent, const QString& caption, const QString& text) {
  if (const Interceptor& interceptor = CurrentInterceptor()) {
    interceptor({caption, text});
    return;
  }
  QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
  box.setObjectName("ErrorBox");
  // A message may quote anything the database holds; none of it is markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

void MessageBox::SetInterceptor(Interceptor interceptor) { CurrentInterceptor() = std::move(interceptor); }

}  // namespace velmora::qt

#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace velmora::qt {

// Every modal box of the program goes through here, so tests can read and answer
// boxes without a person.
class MessageBox {
 public:
  struct Shown {
    QString Caption;
    QString Text;
  };
  using Interceptor = std::function<void(const Shown&)>;

  // A modal error box: stop icon, one OK button. Returns when it is answered.
  static void Critical(QWidget* parent, const QString& caption, const QString& text);

  // While set, boxes are handed to the interceptor (which answers them by
  // returning) instead of being shown. Pass nullptr to show them again.
  static void SetInterceptor(Interceptor interceptor);
};

}  // namespace velmora::qt

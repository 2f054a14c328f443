#pragma once

#include <QElapsedTimer>
#include <QPointer>

class QLabel;
class QWidget;

namespace velmora::qt {

// A small window with the count of rows read, for a load that takes long: it
// appears once the load has run for delayMs and goes when this object goes.
class LoadProgress {
 public:
  explicit LoadProgress(int delayMs);
  ~LoadProgress();
  LoadProgress(const LoadProgress&) = delete;
  LoadProgress& operator=(const LoadProgress&) = delete;

  // rows read so far; shows or refreshes the window when due. Cheap when not.
  void Update(int rows);

  // The window, once it has appeared.
  QWidget* Window() const { return FWindow; }

 private:
  int FDelayMs;
  QElapsedTimer FClock;
  qint64 FLastPaintMs = 0;
  QPointer<QWidget> FWindow;
  QLabel* FLabel = nullptr;  // owned by FWindow
};

}  // namespace velmora::qt

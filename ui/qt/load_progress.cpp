#include "ui/qt/load_progress.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

namespace velmora::qt {
namespace {

// Often enough to look alive, seldom enough to cost nothing.
constexpr qint64 kRepaintMs = 100;

QString Text(int rows) {
  return QObject::tr("Reading the controller list: %1 controllers read").arg(QLocale().toString(rows));
}

}  // namespace

LoadProgress::LoadProgress(int delayMs) : FDelayMs(delayMs) { FClock.start(); }

LoadProgress::~LoadProgress() { delete FWindow; }

void LoadProgress::Update(int rows) {
  const qint64 elapsed = FClock.elapsed();
  if (elapsed < FDelayMs || (FWindow && elapsed - FLastPaintMs < kRepaintMs)) return;
  if (!FWindow) {
    FWindow = new QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    FWindow->setObjectName("LoadProgress");
    FWindow->setWindowTitle(QObject::tr("Loading controllers"));
    auto* layout = new QVBoxLayout(FWindow);
    FLabel = new QLabel(FWindow);
    // Wide enough for any count, so the window never grows while it counts.
    FLabel->setMinimumWidth(FLabel->fontMetrics().horizontalAdvance(Text(99'999'999)) + 8);
    layout->addWidget(FLabel);
    FWindow->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      FWindow->move(screen->availableGeometry().center() - FWindow->rect().center());
    }
    FWindow->show();
  }
  FLabel->setText(Text(rows));
  FLastPaintMs = elapsed;
  // Paint now; the operator's input waits for the window that is still to come.
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace velmora::qt

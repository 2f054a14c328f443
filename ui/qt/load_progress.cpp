#include "ui/qt/load_progress.h"

#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>
#include <QWidget>

namespace velmora::qt {
namespace {

// Often enough to look alive, seldom enough to cost nothing.
constexpr qint64 kRepaintMs = 100;

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
    FLabel->setMinimumWidth(260);
    layout->addWidget(FLabel);
    FWindow->show();
  }
  FLabel->setText(QObject::tr("Reading the controller list: %1 controllers read").arg(QLocale().toString(rows)));
  FLastPaintMs = elapsed;
  // Paint now; the operator's input waits for the window that is still to come.
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace velmora::qt

#include "ui/qt/main_window_widget.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QPushButton>
#include <QShortcut>

#include "ui/qt/controller_model.h"
#include "ui/qt/grid_accessible.h"
#include "ui/qt/grid_widget.h"
#include "ui/qt/guard.h"
#include "ui/qt/load_progress.h"

namespace velmora::qt {
namespace {

QRect ToQt(const Bounds& b) { return QRect(b.Left, b.Top, b.Width, b.Height); }

// The pixels per inch this window is laid out for: Qt's logical density, which
// already leaves out any scaling Qt applies to the whole screen itself.
int PixelsPerInch(const QWidget& widget) {
  const int dpi = widget.logicalDpiY();
  return dpi > 0 ? dpi : TfrmMain::Definition().PixelsPerInch;
}

}  // namespace

MainWindowWidget::MainWindowWidget() : FForm(*this) {
  // Before anything is set that assistive technology may ask about: an interface,
  // once made for a widget, stays.
  GridAccessible::InstallFactory();
  const FormDef& def = TfrmMain::Definition();
  setObjectName(QString::fromStdString(def.Name));
  setWindowTitle(QString::fromStdString(def.Caption));
  setAccessibleName(windowTitle());

  const int dpi = PixelsPerInch(*this);
  QFont font(QString::fromStdString(def.FontName));
  font.setPixelSize(FormScale::FontHeightFor(def, dpi));
  setFont(font);
  FScale = FormScale::For(def, dpi, QFontMetrics(font).height());
  if (def.ButtonFaceBackground) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
  }
  resize(FScale.Scale(def.ClientWidth), FScale.Scale(def.ClientHeight));

  FModel = std::make_unique<ControllerModel>(def.GridView, FForm.DataSource1);
  FGrid = new GridWidget(def.GridView, this);
  FGrid->setGeometry(ToQt(FScale.Scale(def.Grid.Bounds)));
  FGrid->setModel(FModel.get());
  FGrid->SetScale(FScale);

  FCloseButton = new QPushButton(QString::fromStdString(def.CloseButton.Caption), this);
  FCloseButton->setObjectName(QString::fromStdString(def.CloseButton.Name));
  FCloseButton->setGeometry(ToQt(FScale.Scale(def.CloseButton.Bounds)));
  FCloseButton->setAutoDefault(false);
  connect(FCloseButton, &QPushButton::clicked, this, &MainWindowWidget::btnCloseClicked);

  if (def.CloseButton.Cancel) {
    // Esc presses the cancel button wherever the focus is in the window.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, FCloseButton, &QPushButton::click);
  }
  setTabOrder(FGrid, FCloseButton);
  FGrid->setFocus();
}

MainWindowWidget::~MainWindowWidget() {
  // The grid must let go of the model before the model goes.
  FGrid->setModel(nullptr);
}

void MainWindowWidget::Create() {
  FProgress = std::make_unique<LoadProgress>(FLoadProgressDelayMs);
  Guarded([&] { FForm.FormCreate(); });
  FProgress.reset();
}

void MainWindowWidget::ShowLoadProgress(int rowsRead) {
  if (FProgress) FProgress->Update(rowsRead);
}

// Before the load's failure reaches its box, so the box is not left behind a
// window that is about to go.
void MainWindowWidget::EndLoadProgress() { FProgress.reset(); }

void MainWindowWidget::BeginBusy() { QApplication::setOverrideCursor(Qt::WaitCursor); }

void MainWindowWidget::EndBusy() { QApplication::restoreOverrideCursor(); }

void MainWindowWidget::btnCloseClicked() {
  Guarded([&] { FForm.btnCloseClick(); });
}

void MainWindowWidget::Close() { close(); }

void MainWindowWidget::closeEvent(QCloseEvent* event) {
  Guarded([&] { FForm.FormClose(); });
  event->accept();
}

}  // namespace velmora::qt

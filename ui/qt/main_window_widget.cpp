#include "ui/qt/main_window_widget.h"

#include <QCloseEvent>
#include <QPushButton>
#include <QShortcut>

#include "ui/qt/controller_model.h"
#include "ui/qt/grid_widget.h"
#include "ui/qt/guard.h"
#include "ui/qt/load_progress.h"

namespace velmora::qt {
namespace {

QRect ToQt(const Bounds& b) { return QRect(b.Left, b.Top, b.Width, b.Height); }

}  // namespace

MainWindowWidget::MainWindowWidget() : FForm(*this) {
  const FormDef& def = TfrmMain::Definition();
  setObjectName(QString::fromStdString(def.Name));
  setWindowTitle(QString::fromStdString(def.Caption));

  QFont font(QString::fromStdString(def.FontName));
  font.setPixelSize(def.FontHeightPixels);
  setFont(font);
  if (def.ButtonFaceBackground) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
  }
  // Qt's logical pixels already follow the screen's scaling, so the stored
  // 96-dpi sizes are used as they are.
  resize(def.ClientWidth, def.ClientHeight);

  FModel = std::make_unique<ControllerModel>(def.GridView, FForm.DataSource1);
  FGrid = new GridWidget(def.GridView, this);
  FGrid->setGeometry(ToQt(def.Grid.Bounds));
  FGrid->setModel(FModel.get());

  FCloseButton = new QPushButton(QString::fromStdString(def.CloseButton.Caption), this);
  FCloseButton->setObjectName(QString::fromStdString(def.CloseButton.Name));
  FCloseButton->setGeometry(ToQt(def.CloseButton.Bounds));
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
  Guarded([&] {
    // Declared inside the guard, so the progress window is gone before an error box.
    LoadProgress progress(kLoadProgressDelayMs);
    FForm.kbmControllers.OnLoadProgress = [&progress](int rows) { progress.Update(rows); };
    struct Unhook {
      MemTable& Table;
      ~Unhook() { Table.OnLoadProgress = nullptr; }
    } unhook{FForm.kbmControllers};
    FForm.FormCreate();
  });
}

void MainWindowWidget::btnCloseClicked() {
  Guarded([&] { FForm.btnCloseClick(); });
}

void MainWindowWidget::Close() { close(); }

void MainWindowWidget::closeEvent(QCloseEvent* event) {
  Guarded([&] { FForm.FormClose(); });
  event->accept();
}

}  // namespace velmora::qt

#pragma once

#include <QWidget>
#include <memory>

#include "controllers/main_window.h"

class QPushButton;

namespace velmora::qt {

class ControllerModel;
class GridWidget;

// The real window of TfrmMain, built from its definition: the grid bound to
// DataSource1 and the Close button at their fixed places. Routes the window's
// creation, closing, the button and Esc to the form's handlers.
class MainWindowWidget : public QWidget, private TfrmMain::Host {
  Q_OBJECT

 public:
  MainWindowWidget();
  ~MainWindowWidget() override;

  TfrmMain& Form() { return FForm; }
  GridWidget& Grid() { return *FGrid; }
  ControllerModel& Model() { return *FModel; }

  // Runs the creation handler; call once, before the window is first shown. A load
  // that runs longer than kLoadProgressDelayMs shows its progress meanwhile.
  void Create();
  static constexpr int kLoadProgressDelayMs = 500;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Close() override;
  void btnCloseClicked();

  TfrmMain FForm;
  std::unique_ptr<ControllerModel> FModel;
  GridWidget* FGrid;          // owned by this widget (Qt parent)
  QPushButton* FCloseButton;  // owned by this widget (Qt parent)
};

}  // namespace velmora::qt

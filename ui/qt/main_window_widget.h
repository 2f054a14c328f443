#pragma once

#include <QWidget>
#include <memory>

#include "controllers/form_scale.h"
#include "controllers/main_window.h"

class QPushButton;

namespace velmora::qt {

class ControllerModel;
class GridWidget;
class LoadProgress;

// The real window of TfrmMain, built from its definition and scaled for the
// screen: the grid bound to DataSource1 and the Close button at their fixed
// places. Routes the window's creation, closing, the button and Esc to the form's
// handlers; shows the load's progress and the busy cursor when the form asks.
class MainWindowWidget : public QWidget, private TfrmMain::Host {
  Q_OBJECT

 public:
  MainWindowWidget();
  ~MainWindowWidget() override;

  TfrmMain& Form() { return FForm; }
  GridWidget& Grid() { return *FGrid; }
  ControllerModel& Model() { return *FModel; }

  // Runs the creation handler; call once, before the window is first shown. A load
  // that runs longer than the progress delay shows its progress meanwhile.
  void Create();
  static constexpr int kLoadProgressDelayMs = 500;
  void SetLoadProgressDelay(int ms) { FLoadProgressDelayMs = ms; }

  // How the definition's 96-dpi layout is scaled on this screen.
  const FormScale& Scale() const { return FScale; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Close() override;
  void ShowLoadProgress(int rowsRead) override;
  void EndLoadProgress() override;
  void BeginBusy() override;
  void EndBusy() override;
  void btnCloseClicked();

  TfrmMain FForm;
  FormScale FScale;
  std::unique_ptr<LoadProgress> FProgress;  // while the load runs
  int FLoadProgressDelayMs = kLoadProgressDelayMs;
  std::unique_ptr<ControllerModel> FModel;
  GridWidget* FGrid;          // owned by this widget (Qt parent)
  QPushButton* FCloseButton;  // owned by this widget (Qt parent)
};

}  // namespace velmora::qt

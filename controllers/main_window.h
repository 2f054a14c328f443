#pragma once

#include <cstdint>
#include <string>

#include "components/named_strings.h"
#include "controllers/form_definition.h"
#include "data/data_source.h"
#include "data/mem_table.h"
#include "data/recordset_dataset.h"
#include "service/hardware_service.h"

namespace velmora {

// The program's one window, free of any toolkit: its components, its stored
// definition and its handlers. A front end builds the real window from
// Definition() and routes creation, closing, the Close button and the grid's
// edits here. Owns all its components.
class TfrmMain {
 public:
  // What the window needs from the front end that shows it.
  class Host {
   public:
    // Closes the window; the front end calls FormClose on the way.
    virtual void Close() = 0;
    // rowsRead controllers have been read so far by the load; called every few
    // thousand rows. The front end decides when a progress window is worth showing.
    virtual void ShowLoadProgress(int /*rowsRead*/) {}
    // The load is over, whether it succeeded or not: any progress window goes, before
    // a failure is shown.
    virtual void EndLoadProgress() {}
    // A call into the hardware service begins or ends; in between the front end
    // shows the busy cursor. Calls nest: only the outermost end counts.
    virtual void BeginBusy() {}
    virtual void EndBusy() {}

   protected:
    ~Host() = default;
  };

  // Holds the host busy for its lifetime: the load and every write-back.
  class Busy {
   public:
    explicit Busy(Host& host) : FHost(host) { FHost.BeginBusy(); }
    ~Busy() { FHost.EndBusy(); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    Host& FHost;
  };

  explicit TfrmMain(Host& host);
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  static const FormDef& Definition();

  // The write-back statement for one row: each argument in decimal, as a signed
  // 32-bit integer.
  static std::string FormatWriteBack(std::int32_t disabled, std::int32_t site, std::int32_t controller);
  static constexpr const char* kWriteBackFormat =
      "UPDATE Controllers SET ConnectArden=%d WHERE Site = %d and Controller = %d";

  // Components, by their names.
  TQuillStringsList QuillStringsList1{"QuillStringsList1"};
  MemTable kbmControllers{"kbmControllers"};
  Field& kbmControllersSite;
  Field& kbmControllersController;
  Field& kbmControllersControllerType;
  Field& kbmControllersDescription;
  Field& kbmControllersDisabled;
  RecordsetDataset ADODataSet1{"ADODataSet1"};
  DataSource DataSource1{"DataSource1"};

  // Handlers, called by the front end through its failure guard.
  // Loads the controller list through the hardware service.
  void FormCreate();
  // Closes the controller table; a pending edit is dropped.
  void FormClose();
  // Posts a pending edit (so it is written back), then closes the window.
  void btnCloseClick();
  // Writes the posted row's "Disabled" back through the hardware service.
  void kbmControllersAfterPost(Dataset& dataset);

  bool Loading() const { return FLoading; }

 private:
  void LoadControllers(IHardwareService& service);
  // "Site 3, controller 12": the record set's current row, as the operator knows it.
  std::string SourceRowName() const;

  Host& FHost;
  bool FLoading = false;
};

}  // namespace velmora

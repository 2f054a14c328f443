#pragma once

#include <string>
#include <utility>

#include "controllers/form_scale.h"
#include "controllers/grid_view.h"
#include "data/data_source.h"
#include "service/com_win32.h"

#include <commctrl.h>
#include <uxtheme.h>

namespace velmora::winui {

// The grid: a report-view list view in virtual mode over the memory table behind a
// data source. It reads every cell, width, colour, note and gesture's effect from a
// GridView when the list view asks for it, keeps no copy of row state, and is told
// of every change by the data source. The check-box column is drawn here.
class ControllerList : private DataLink {
 public:
  ControllerList(const GridViewDef& definition, DataSource& source);
  ~ControllerList();
  ControllerList(const ControllerList&) = delete;
  ControllerList& operator=(const ControllerList&) = delete;

  // Creates the list view as a child of parent at bounds (already scaled), in font.
  void Create(HWND parent, const RECT& bounds, const FormScale& scale, HFONT font);
  HWND Handle() const { return FList; }
  GridView& View() { return FView; }

  // A WM_NOTIFY from the list view; true when handled, with its result.
  bool Notify(const NMHDR& header, LRESULT& result);

 private:
  void DataEvent(velmora::DataEvent event, int row) override;

  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR self);
  LRESULT ListMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  void AddColumns();
  void FitColumns();
  void ShowSortArrows();
  void Sort(int column);
  void CreateNoteTip();
  std::pair<int, int> CellAt(POINT point) const;
  void Gesture(GridView::Gesture gesture, int viewRow, int column, bool onBox);
  void ToggleAt(int viewRow);
  COLORREF RowTextColor(int viewRow) const;
  void SetText(LVITEMW& item);
  LRESULT CustomDraw(NMLVCUSTOMDRAW& draw);
  void DrawCheckBox(HDC dc, const RECT& cell, GridView::CheckState state);
  RECT CheckBoxRect(int viewRow);
  bool RowIsChecked(int viewRow) const;

  // List-view column of a view column: column 0 is an empty one of no width,
  // because a list view cannot centre its first column.
  static int ListColumn(int column) { return column + 1; }
  static int ViewColumn(int listColumn) { return listColumn - 1; }

  DataSource& FSource;
  GridView FView;
  int FCheckColumn = -1;
  int FRowCount = 0;  // as last told to the list view
  FormScale FScale;
  HWND FList = nullptr;
  HWND FNoteTip = nullptr;            // owned by FList
  std::pair<int, int> FNoteCell{-1, -1};  // the cell under the mouse
  std::wstring FNoteText;             // the tip's text while it shows
  HTHEME FTheme = nullptr;
};

}  // namespace velmora::winui

#include "ui/win32/controller_list.h"

#include <uxtheme.h>
#include <vsstyle.h>

#include <algorithm>
#include <string>

#include "ui/win32/guard.h"
#include "ui/win32/text.h"

namespace velmora::winui {
namespace {

constexpr UINT_PTR kSubclassId = 1;
// The check-box column's width where the definition leaves it to the toolkit.
constexpr int kDefaultColumnWidth = 64;
constexpr int kCheckBoxSize = 13;  // pixels at 96 per inch

int ColumnFormat(Alignment alignment) {
  switch (alignment) {
    case Alignment::Center:
      return LVCFMT_CENTER;
    case Alignment::Right:
      return LVCFMT_RIGHT;
    default:
      return LVCFMT_LEFT;
  }
}

int HeaderFormat(Alignment alignment) {
  switch (alignment) {
    case Alignment::Center:
      return HDF_CENTER;
    case Alignment::Right:
      return HDF_RIGHT;
    default:
      return HDF_LEFT;
  }
}

int DefinedWidth(const GridColumnDef& column) { return column.Width > 0 ? column.Width : kDefaultColumnWidth; }

}  // namespace

ControllerList::ControllerList(const GridViewDef& definition, DataSource& source)
    : FSource(source), FView(definition, source) {
  for (int c = 0; c < FView.ColumnCount(); ++c) {
    if (FView.IsCheckColumn(c)) FCheckColumn = c;
  }
  FRowCount = FView.RowCount();
  FSource.AddLink(this);
}

ControllerList::~ControllerList() {
  FSource.RemoveLink(this);
  if (FTheme) ::CloseThemeData(FTheme);
}

void ControllerList::Create(HWND parent, const RECT& bounds, int dpi) {
  FDpi = dpi;
  const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS |
                      LVS_SINGLESEL;
  const std::wstring name = Wide(FView.Definition().GridName);
  FList = ::CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, name.c_str(), style, bounds.left, bounds.top,
                            bounds.right - bounds.left, bounds.bottom - bounds.top, parent, nullptr,
                            ::GetModuleHandleW(nullptr), nullptr);
  ListView_SetExtendedListViewStyle(FList, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  ::SetWindowSubclass(FList, &ControllerList::SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  FTheme = ::OpenThemeData(FList, L"BUTTON");
  AddColumns();
  ListView_SetItemCountEx(FList, FRowCount, 0);
  FitColumns();
}

void ControllerList::AddColumns() {
  LVCOLUMNW spacer{};
  spacer.mask = LVCF_WIDTH;
  spacer.cx = 0;
  ListView_InsertColumn(FList, 0, &spacer);
  HWND header = ListView_GetHeader(FList);
  for (int c = 0; c < FView.ColumnCount(); ++c) {
    const GridColumnDef& def = FView.Definition().Columns[static_cast<std::size_t>(c)];
    std::wstring caption = Wide(def.FieldName);
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = FView.IsCheckColumn(c) ? LVCFMT_LEFT : ColumnFormat(def.CellAlignment);
    column.cx = ::MulDiv(DefinedWidth(def), FDpi, 96);
    column.pszText = caption.data();
    column.iSubItem = ListColumn(c);
    ListView_InsertColumn(FList, ListColumn(c), &column);
    // The header has its own alignment, which the column format would override.
    HDITEMW item{};
    item.mask = HDI_FORMAT;
    Header_GetItem(header, ListColumn(c), &item);
    item.fmt = (item.fmt & ~HDF_JUSTIFYMASK) | HeaderFormat(def.HeaderAlignment);
    Header_SetItem(header, ListColumn(c), &item);
  }
}

// Auto-width: the columns share the list's client width in proportion to their
// defined widths, so there is never a horizontal scroll bar.
void ControllerList::FitColumns() {
  if (!FList || !FView.Definition().ColumnAutoWidth) return;
  RECT client;
  ::GetClientRect(FList, &client);
  const int available = std::max<int>(0, client.right - client.left);
  int total = 0;
  for (const GridColumnDef& def : FView.Definition().Columns) total += DefinedWidth(def);
  if (total == 0) return;
  int used = 0;
  for (int c = 0; c < FView.ColumnCount(); ++c) {
    const GridColumnDef& def = FView.Definition().Columns[static_cast<std::size_t>(c)];
    // The last column takes what rounding left over.
    const int width = c + 1 == FView.ColumnCount() ? available - used : ::MulDiv(available, DefinedWidth(def), total);
    used += width;
    ListView_SetColumnWidth(FList, ListColumn(c), width);
  }
  ListView_SetColumnWidth(FList, 0, 0);
}

void ControllerList::ShowSortArrows() {
  HWND header = ListView_GetHeader(FList);
  for (int c = 0; c < FView.ColumnCount(); ++c) {
    HDITEMW item{};
    item.mask = HDI_FORMAT;
    Header_GetItem(header, ListColumn(c), &item);
    item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
    if (c == FView.SortColumn()) item.fmt |= FView.SortDescending() ? HDF_SORTDOWN : HDF_SORTUP;
    Header_SetItem(header, ListColumn(c), &item);
  }
}

// A header click sorts by that column; a second click reverses. The selected
// controller stays selected.
void ControllerList::Sort(int column) {
  if (column < 0 || column >= FView.ColumnCount()) return;
  const int selected = ListView_GetNextItem(FList, -1, LVNI_SELECTED);
  const int tableRow = selected >= 0 && selected < FRowCount ? FView.TableRow(selected) : -1;
  const bool descending = FView.SortColumn() == column && !FView.SortDescending();
  FView.SortBy(column, descending);
  ShowSortArrows();
  if (tableRow >= 0) {
    const int viewRow = FView.ViewRow(tableRow);
    ListView_SetItemState(FList, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(FList, viewRow, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(FList, viewRow, FALSE);
  }
  ::InvalidateRect(FList, nullptr, FALSE);
}

void ControllerList::ToggleAt(int viewRow) {
  if (viewRow < 0 || viewRow >= FRowCount || FCheckColumn < 0) return;
  // The table tells us of the posted (or restored) value through the data source;
  // the row is redrawn either way, since a failed write-back restores it.
  Guarded([&] { FView.ToggleCheck(viewRow, FCheckColumn); });
  ListView_RedrawItems(FList, viewRow, viewRow);
}

bool ControllerList::RowIsChecked(int viewRow) const {
  return FCheckColumn >= 0 && viewRow >= 0 && viewRow < FRowCount &&
         FView.CellCheckState(viewRow, FCheckColumn) == GridView::CheckState::Checked;
}

void ControllerList::SetText(LVITEMW& item) {
  if (item.cchTextMax <= 0 || item.pszText == nullptr) return;
  item.pszText[0] = L'\0';
  const int column = ViewColumn(item.iSubItem);
  if (item.iItem < 0 || item.iItem >= FRowCount || column < 0 || FView.IsCheckColumn(column)) return;
  const std::u16string text = FView.CellText(item.iItem, column);
  const std::size_t length = std::min<std::size_t>(text.size(), static_cast<std::size_t>(item.cchTextMax - 1));
  std::copy_n(text.data(), length, item.pszText);
  item.pszText[length] = L'\0';
}

RECT ControllerList::CheckBoxRect(int viewRow) {
  RECT cell{};
  ListView_GetSubItemRect(FList, viewRow, ListColumn(FCheckColumn), LVIR_BOUNDS, &cell);
  const int size = std::min<int>(::MulDiv(kCheckBoxSize, FDpi, 96), cell.bottom - cell.top);
  RECT box;
  box.left = cell.left + (cell.right - cell.left - size) / 2;
  box.top = cell.top + (cell.bottom - cell.top - size) / 2;
  box.right = box.left + size;
  box.bottom = box.top + size;
  return box;
}

void ControllerList::DrawCheckBox(HDC dc, const RECT& box, GridView::CheckState state) {
  if (FTheme) {
    const int part = state == GridView::CheckState::Checked   ? CBS_CHECKEDNORMAL
                     : state == GridView::CheckState::Mixed   ? CBS_MIXEDNORMAL
                                                              : CBS_UNCHECKEDNORMAL;
    ::DrawThemeBackground(FTheme, dc, BP_CHECKBOX, part, &box, nullptr);
    return;
  }
  UINT flags = DFCS_BUTTONCHECK | DFCS_FLAT;
  if (state == GridView::CheckState::Checked) flags |= DFCS_CHECKED;
  // Classic controls have no mixed box: a checked, greyed one stands for it.
  if (state == GridView::CheckState::Mixed) flags = DFCS_BUTTON3STATE | DFCS_CHECKED | DFCS_FLAT;
  RECT r = box;
  ::DrawFrameControl(dc, &r, DFC_BUTTON, flags);
}

LRESULT ControllerList::CustomDraw(NMLVCUSTOMDRAW& draw) {
  switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
      const int viewRow = static_cast<int>(draw.nmcd.dwItemSpec);
      const bool selected = ListView_GetItemState(FList, viewRow, LVIS_SELECTED) != 0;
      if (ViewColumn(draw.iSubItem) != FCheckColumn || viewRow >= FRowCount) {
        // Disabled controllers are drawn subdued so they stand out from the rest;
        // a selected row keeps the selection's colours.
        if (selected) return CDRF_DODEFAULT;
        draw.clrText = ::GetSysColor(RowIsChecked(viewRow) ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT);
        return CDRF_NEWFONT;
      }
      RECT cell{};
      ListView_GetSubItemRect(FList, viewRow, draw.iSubItem, LVIR_BOUNDS, &cell);
      const int background =
          !selected ? COLOR_WINDOW : (::GetFocus() == FList ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
      ::FillRect(draw.nmcd.hdc, &cell, ::GetSysColorBrush(background));
      const RECT box = CheckBoxRect(viewRow);
      DrawCheckBox(draw.nmcd.hdc, box, FView.CellCheckState(viewRow, FCheckColumn));
      return CDRF_SKIPDEFAULT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

bool ControllerList::Notify(const NMHDR& header, LRESULT& result) {
  if (header.hwndFrom != FList) return false;
  result = 0;
  switch (header.code) {
    case LVN_GETDISPINFOW: {
      auto& info = const_cast<NMLVDISPINFOW&>(reinterpret_cast<const NMLVDISPINFOW&>(header));
      if (info.item.mask & LVIF_TEXT) SetText(info.item);
      return true;
    }
    case NM_CUSTOMDRAW:
      result = CustomDraw(const_cast<NMLVCUSTOMDRAW&>(reinterpret_cast<const NMLVCUSTOMDRAW&>(header)));
      return true;
    case NM_CLICK:
    case NM_DBLCLK: {
      // Each press on the box toggles it, the second of a double click too.
      const auto& click = reinterpret_cast<const NMITEMACTIVATE&>(header);
      LVHITTESTINFO hit{};
      hit.pt = click.ptAction;
      if (ListView_SubItemHitTest(FList, &hit) < 0 || ViewColumn(hit.iSubItem) != FCheckColumn) return true;
      const RECT box = CheckBoxRect(hit.iItem);
      if (::PtInRect(&box, hit.pt)) ToggleAt(hit.iItem);
      return true;
    }
    case LVN_KEYDOWN: {
      const auto& key = reinterpret_cast<const NMLVKEYDOWN&>(header);
      if (key.wVKey == VK_SPACE) ToggleAt(ListView_GetNextItem(FList, -1, LVNI_FOCUSED));
      return true;
    }
    case LVN_ODFINDITEMW:
      // Typing in the grid finds nothing: its cells are not for editing or search.
      result = -1;
      return true;
    case LVN_COLUMNCLICK:
      Sort(ViewColumn(reinterpret_cast<const NMLISTVIEW&>(header).iSubItem));
      return true;
    default:
      return false;
  }
}

void ControllerList::DataEvent(velmora::DataEvent event, int row) {
  switch (event) {
    case DataEvent::DataSetChanged:
      FView.Refresh();
      FRowCount = FView.RowCount();
      if (FList) {
        ListView_SetItemCountEx(FList, FRowCount, LVSICF_NOINVALIDATEALL);
        ::InvalidateRect(FList, nullptr, FALSE);
      }
      break;
    case DataEvent::RecordChanged: {
      const int viewRow = FView.ViewRow(row);
      if (FList && viewRow >= 0 && viewRow < FRowCount) ListView_RedrawItems(FList, viewRow, viewRow);
      break;
    }
    default:
      break;
  }
}

LRESULT CALLBACK ControllerList::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                              DWORD_PTR self) {
  LRESULT result = 0;
  if (!Guarded([&] { result = reinterpret_cast<ControllerList*>(self)->ListMessage(window, message, wParam, lParam); })) {
    result = 0;
  }
  return result;
}

LRESULT ControllerList::ListMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE: {
      const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
      FitColumns();
      return result;
    }
    case WM_NOTIFY: {
      // The header's: auto-width decides the widths, so the user cannot drag or
      // double-click them.
      const UINT code = reinterpret_cast<const NMHDR*>(lParam)->code;
      if (code == HDN_BEGINTRACKW || code == HDN_BEGINTRACKA) return TRUE;
      if (code == HDN_DIVIDERDBLCLICKW || code == HDN_DIVIDERDBLCLICKA) return 0;
      break;
    }
    case WM_THEMECHANGED:
      if (FTheme) ::CloseThemeData(FTheme);
      FTheme = ::OpenThemeData(window, L"BUTTON");
      break;
    case WM_NCDESTROY:
      ::RemoveWindowSubclass(window, &ControllerList::SubclassProc, kSubclassId);
      FList = nullptr;
      break;
    default:
      break;
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace velmora::winui

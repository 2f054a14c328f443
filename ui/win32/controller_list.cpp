#include "ui/win32/controller_list.h"

#include <uxtheme.h>
#include <vsstyle.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "controllers/color.h"

#include "ui/win32/guard.h"
#include "ui/win32/text.h"

namespace velmora::winui {
namespace {

constexpr UINT_PTR kSubclassId = 1;
constexpr int kCheckBoxSize = 13;  // pixels at 96 per inch
// The name a screen reader says for the list.
constexpr wchar_t kAccessibleName[] = L"Controllers";

Color ToColor(COLORREF c) {
  return {static_cast<std::uint8_t>(GetRValue(c)), static_cast<std::uint8_t>(GetGValue(c)),
          static_cast<std::uint8_t>(GetBValue(c))};
}
COLORREF ToColorRef(Color c) { return RGB(c.R, c.G, c.B); }

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

}  // namespace

ControllerList::ControllerList(const GridViewDef& definition, DataSource& source)
    : FSource(source), FView(definition, source) {
  FCheckColumn = FView.CheckColumn();
  FRowCount = FView.RowCount();
  FSource.AddLink(this);
}

ControllerList::~ControllerList() {
  FSource.RemoveLink(this);
  if (FTheme) ::CloseThemeData(FTheme);
}

void ControllerList::Create(HWND parent, const RECT& bounds, const FormScale& scale, HFONT font) {
  FScale = scale;
  const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS |
                      LVS_SINGLESEL;
  // The window text is what a screen reader names the list by.
  FList = ::CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, kAccessibleName, style, bounds.left, bounds.top,
                            bounds.right - bounds.left, bounds.bottom - bounds.top, parent, nullptr,
                            ::GetModuleHandleW(nullptr), nullptr);
  ::SendMessageW(FList, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  // The check boxes as state images too: that is the check state the system's
  // accessibility layer reads from a list view. They sit in the spacer column, of
  // no width; the boxes the operator sees are drawn in the Disabled column.
  ListView_SetExtendedListViewStyle(FList, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER |
                                               (FCheckColumn >= 0 ? LVS_EX_CHECKBOXES : 0));
  ListView_SetCallbackMask(FList, LVIS_STATEIMAGEMASK);
  ::SetWindowSubclass(FList, &ControllerList::SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  FTheme = ::OpenThemeData(FList, L"BUTTON");
  AddColumns();
  ListView_SetItemCountEx(FList, FRowCount, 0);
  FitColumns();
  CreateNoteTip();
}

// One tool for the whole list; its text is the note of the cell under the mouse,
// asked for when the tip shows, and the tip is moved on when the cell changes.
void ControllerList::CreateNoteTip() {
  FNoteTip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, FList, nullptr,
                               ::GetModuleHandleW(nullptr), nullptr);
  if (!FNoteTip) return;
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = FList;  // which is told TTN_GETDISPINFO
  tool.uId = reinterpret_cast<UINT_PTR>(FList);
  tool.lpszText = LPSTR_TEXTCALLBACKW;
  ::SendMessageW(FNoteTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  ::SendMessageW(FNoteTip, TTM_SETMAXTIPWIDTH, 0, FScale.Scale(400));
}

// The cell under a point of the list's client area: {view row, view column}, or -1s.
std::pair<int, int> ControllerList::CellAt(POINT point) const {
  LVHITTESTINFO hit{};
  hit.pt = point;
  if (ListView_SubItemHitTest(FList, &hit) < 0 || hit.iItem >= FRowCount) return {-1, -1};
  return {hit.iItem, ViewColumn(hit.iSubItem)};
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
    column.cx = 0;  // FitColumns gives the widths
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

void ControllerList::FitColumns() {
  if (!FList) return;
  RECT client;
  ::GetClientRect(FList, &client);
  const std::vector<int> widths = FView.ColumnWidths(std::max<int>(0, client.right - client.left), FScale);
  for (int c = 0; c < FView.ColumnCount() && c < static_cast<int>(widths.size()); ++c) {
    ListView_SetColumnWidth(FList, ListColumn(c), widths[static_cast<std::size_t>(c)]);
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

void ControllerList::Gesture(GridView::Gesture gesture, int viewRow, int column, bool onBox) {
  if (viewRow < 0 || viewRow >= FRowCount) return;
  const GridView::GestureEffect effect = FView.EffectOf(gesture, column, onBox);
  if (effect.MakeCurrent) {
    ListView_SetItemState(FList, viewRow, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  }
  if (effect.Toggle) ToggleAt(viewRow);
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

COLORREF ControllerList::RowTextColor(int viewRow) const {
  const COLORREF text = ::GetSysColor(COLOR_WINDOWTEXT);
  if (!FView.RowIsSubdued(viewRow)) return text;
  return ToColorRef(SubduedTextColor(ToColor(text), ToColor(::GetSysColor(COLOR_WINDOW))));
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
  const int size = std::min<int>(FScale.Scale(kCheckBoxSize), cell.bottom - cell.top);
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
        // Subdued rows stand out from the rest yet stay readable; a selected row
        // keeps the selection's colours.
        if (selected) return CDRF_DODEFAULT;
        draw.clrText = RowTextColor(viewRow);
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
      if ((info.item.mask & LVIF_STATE) && (info.item.stateMask & LVIS_STATEIMAGEMASK) && FCheckColumn >= 0) {
        // 1 unchecked, 2 checked: the list view's own check-box images.
        info.item.state = (info.item.state & ~LVIS_STATEIMAGEMASK) |
                          INDEXTOSTATEIMAGEMASK(RowIsChecked(info.item.iItem) ? 2 : 1);
      }
      return true;
    }
    case NM_CUSTOMDRAW:
      result = CustomDraw(const_cast<NMLVCUSTOMDRAW&>(reinterpret_cast<const NMLVCUSTOMDRAW&>(header)));
      return true;
    case NM_CLICK:
    case NM_DBLCLK: {
      const auto& click = reinterpret_cast<const NMITEMACTIVATE&>(header);
      const auto [row, column] = CellAt(click.ptAction);
      if (row < 0) return true;
      bool onBox = false;
      if (column == FCheckColumn) {
        const RECT box = CheckBoxRect(row);
        onBox = ::PtInRect(&box, click.ptAction) != FALSE;
      }
      Gesture(header.code == NM_CLICK ? GridView::Gesture::Click : GridView::Gesture::DoubleClick, row, column, onBox);
      return true;
    }
    case LVN_ITEMCHANGING: {
      // The state image follows the table, never the other way round: a change of
      // it from outside (a screen reader's action) is a toggle, made the ordinary
      // way, and the list view's own change is refused.
      const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
      if ((change.uChanged & LVIF_STATE) && ((change.uNewState ^ change.uOldState) & LVIS_STATEIMAGEMASK) &&
          change.iItem >= 0) {
        if ((change.uNewState & LVIS_STATEIMAGEMASK) != INDEXTOSTATEIMAGEMASK(RowIsChecked(change.iItem) ? 2 : 1)) {
          Gesture(GridView::Gesture::Space, change.iItem, -1, false);
        }
        result = TRUE;
      }
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
    case WM_KEYDOWN:
      // Space toggles the focused row's box from any cell; the list view's own
      // Space would toggle its state image behind the table's back.
      if (wParam == VK_SPACE) {
        Gesture(GridView::Gesture::Space, ListView_GetNextItem(window, -1, LVNI_FOCUSED), -1, false);
        return 0;
      }
      break;
    case WM_CHAR:
      if (wParam == L' ') return 0;
      break;
    case WM_MOUSEMOVE: {
      // A new cell under the mouse gets its own note.
      const auto cell = CellAt(POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
      if (cell != FNoteCell) {
        FNoteCell = cell;
        if (FNoteTip) ::SendMessageW(FNoteTip, TTM_POP, 0, 0);
      }
      break;
    }
    case WM_NOTIFY: {
      const auto& notify = *reinterpret_cast<const NMHDR*>(lParam);
      if (notify.hwndFrom == FNoteTip && notify.code == TTN_GETDISPINFOW) {
        auto& info = *reinterpret_cast<NMTTDISPINFOW*>(lParam);
        FNoteText = FNoteCell.first >= 0 ? Wide(FView.CellNote(FNoteCell.first, FNoteCell.second)) : std::wstring();
        info.lpszText = FNoteText.data();
        return 0;
      }
      // The header's: whether the user may drag or double-click the widths.
      if (!FView.UserMayResizeColumns()) {
        const UINT code = notify.code;
        if (code == HDN_BEGINTRACKW || code == HDN_BEGINTRACKA) return TRUE;
        if (code == HDN_DIVIDERDBLCLICKW || code == HDN_DIVIDERDBLCLICKA) return 0;
      }
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

#include "ui/qt/grid_widget.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <numeric>

#include "ui/qt/check_box_delegate.h"

namespace velmora::qt {
namespace {

// The width a column gets when its definition leaves it to the toolkit.
constexpr int kDefaultColumnWidth = 64;

}  // namespace

GridWidget::GridWidget(const GridViewDef& definition, QWidget* parent) : QTableView(parent) {
  setObjectName(QString::fromStdString(definition.GridName));
  for (std::size_t i = 0; i < definition.Columns.size(); ++i) {
    const GridColumnDef& column = definition.Columns[i];
    FNominal.push_back(column.Width > 0 ? column.Width : kDefaultColumnWidth);
    if (column.Editor == CellEditor::CheckBox) {
      setItemDelegateForColumn(static_cast<int>(i), new CheckBoxDelegate(this));
    }
  }
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setWordWrap(false);
  // Tab moves on to the next control, as in a dialog, rather than from cell to cell.
  setTabKeyNavigation(false);
  setSortingEnabled(true);
  horizontalHeader()->setSortIndicatorShown(true);
  horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  horizontalHeader()->setSectionsMovable(false);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setMinimumSectionSize(16);
  verticalHeader()->hide();
  // Fixed row heights keep a million rows cheap to lay out and scroll.
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  connect(horizontalHeader(), &QHeaderView::sectionResized, this, &GridWidget::SectionResized);
}

void GridWidget::setModel(QAbstractItemModel* model) {
  QTableView::setModel(model);
  FitColumns();
}

void GridWidget::keyPressEvent(QKeyEvent* event) {
  // Rows are neither deleted nor inserted from the grid.
  if (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Insert) {
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

void GridWidget::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  FitColumns();
}

void GridWidget::FitColumns() {
  QHeaderView* header = horizontalHeader();
  const int count = std::min<int>(header->count(), static_cast<int>(FNominal.size()));
  if (count == 0) return;
  const int available = viewport()->width();
  const int total = std::accumulate(FNominal.begin(), FNominal.begin() + count, 0);
  if (available <= 0 || total <= 0) return;
  FFitting = true;
  int used = 0;
  for (int i = 0; i < count; ++i) {
    // The last column takes what rounding left, so the columns fill the view exactly.
    const int width = i + 1 == count ? available - used : FNominal[static_cast<std::size_t>(i)] * available / total;
    header->resizeSection(i, std::max(width, header->minimumSectionSize()));
    used += width;
  }
  FFitting = false;
}

void GridWidget::SectionResized(int section, int, int newSize) {
  if (FFitting || section < 0 || section >= static_cast<int>(FNominal.size())) return;
  // The user dragged a column: keep its share at the new size, scale the rest.
  const int available = std::max(1, viewport()->width());
  const int total = std::accumulate(FNominal.begin(), FNominal.end(), 0);
  const int others = total - FNominal[static_cast<std::size_t>(section)];
  const int newShare = std::clamp(newSize, 16, available - 16 * (static_cast<int>(FNominal.size()) - 1));
  // Nominal widths in view pixels: this column newShare, the others share the rest.
  std::vector<int> scaled(FNominal.size());
  for (std::size_t i = 0; i < FNominal.size(); ++i) {
    scaled[i] = static_cast<int>(i) == section ? newShare
                                               : std::max(1, FNominal[i] * (available - newShare) / std::max(1, others));
  }
  FNominal = std::move(scaled);
  FitColumns();
}

}  // namespace velmora::qt

#include "ui/qt/grid_widget.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include "ui/qt/check_box_delegate.h"
#include "ui/qt/controller_model.h"
#include "ui/qt/grid_accessible.h"

namespace velmora::qt {

GridWidget::GridWidget(const GridViewDef& definition, QWidget* parent) : QTableView(parent) {
  setObjectName(QString::fromStdString(definition.GridName));
  setAccessibleName(tr("Controllers"));
  GridAccessible::InstallFactory();
  for (std::size_t i = 0; i < definition.Columns.size(); ++i) {
    if (definition.Columns[i].Editor == CellEditor::CheckBox) {
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
  horizontalHeader()->setMinimumSectionSize(1);
  verticalHeader()->hide();
  // Fixed row heights keep a million rows cheap to lay out and scroll.
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
}

void GridWidget::setModel(QAbstractItemModel* model) {
  FModel = qobject_cast<ControllerModel*>(model);
  QTableView::setModel(model);
  if (FModel) {
    const bool resizable = FModel->View().UserMayResizeColumns();
    horizontalHeader()->setSectionResizeMode(resizable ? QHeaderView::Interactive : QHeaderView::Fixed);
  }
  FitColumns();
}

void GridWidget::SetScale(const FormScale& scale) {
  FScale = scale;
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  FitColumns();
}

QRect GridWidget::CheckBoxRect(const QModelIndex& index) const {
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = visualRect(index);
  return CheckBoxDelegate::CheckRect(option, this);
}

void GridWidget::ToggleRow(int row) {
  if (FModel == nullptr) return;
  const int column = FModel->View().CheckColumn();
  if (column < 0 || row < 0 || row >= FModel->rowCount()) return;
  FModel->Toggle(FModel->index(row, column));
}

void GridWidget::keyPressEvent(QKeyEvent* event) {
  // Rows are neither deleted nor inserted from the grid.
  if (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Insert) {
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier && FModel && currentIndex().isValid()) {
    const GridView::GestureEffect effect =
        FModel->View().EffectOf(GridView::Gesture::Space, currentIndex().column(), false);
    if (effect.Toggle) ToggleRow(currentIndex().row());
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

void GridWidget::mousePressEvent(QMouseEvent* event) {
  FInDoubleClick = false;
  const QModelIndex index = indexAt(event->position().toPoint());
  const bool onBox = index.isValid() && FModel && index.column() == FModel->View().CheckColumn() &&
                     CheckBoxRect(index).contains(event->position().toPoint());
  FPressedBox = event->button() == Qt::LeftButton && onBox ? QPersistentModelIndex(index) : QPersistentModelIndex();
  // The view makes the pressed cell current and selects its row.
  QTableView::mousePressEvent(event);
}

void GridWidget::mouseReleaseEvent(QMouseEvent* event) {
  const QPersistentModelIndex pressed = FPressedBox;
  const bool secondOfDouble = FInDoubleClick;
  FPressedBox = QPersistentModelIndex();
  FInDoubleClick = false;
  QTableView::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton || !FModel || !pressed.isValid()) return;
  // A box toggles when the button is let go over the box it went down on, as a
  // push of any check box does.
  const QModelIndex index = indexAt(event->position().toPoint());
  const bool onBox = index == QModelIndex(pressed) && CheckBoxRect(index).contains(event->position().toPoint());
  const GridView::GestureEffect effect = FModel->View().EffectOf(
      secondOfDouble ? GridView::Gesture::DoubleClick : GridView::Gesture::Click, index.column(), onBox);
  if (effect.MakeCurrent) setCurrentIndex(index);
  if (effect.Toggle) ToggleRow(index.row());
}

void GridWidget::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click; what it does is the rule's (nothing), and
  // its release must not count as a click either.
  QTableView::mouseDoubleClickEvent(event);
  FPressedBox = QPersistentModelIndex();
  FInDoubleClick = true;
  if (FModel) {
    const QModelIndex index = indexAt(event->position().toPoint());
    const GridView::GestureEffect effect = FModel->View().EffectOf(
        GridView::Gesture::DoubleClick, index.column(), index.isValid() && CheckBoxRect(index).contains(event->position().toPoint()));
    if (effect.MakeCurrent && index.isValid()) setCurrentIndex(index);
    if (effect.Toggle && index.isValid()) ToggleRow(index.row());
  }
}

void GridWidget::resizeEvent(QResizeEvent* event) {
  QTableView::resizeEvent(event);
  FitColumns();
}

void GridWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTableView::currentChanged(current, previous);
  // The frame of the current cell is drawn over the row's selection; repaint both.
  viewport()->update(visualRect(previous).adjusted(-2, -2, 2, 2));
  viewport()->update(visualRect(current).adjusted(-2, -2, 2, 2));
}

void GridWidget::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles) {
  QTableView::dataChanged(topLeft, bottomRight, roles);
  if (!QAccessible::isActive() || FModel == nullptr) return;
  // A screen reader hears a box change, whoever changed it.
  auto* grid = dynamic_cast<GridAccessible*>(QAccessible::queryAccessibleInterface(this));
  const int column = FModel->View().CheckColumn();
  if (grid == nullptr || column < topLeft.column() || column > bottomRight.column()) return;
  for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
    if (QAccessibleInterface* cell = grid->MadeCell(row, column)) {
      QAccessible::State changed;
      changed.checked = true;
      QAccessibleStateChangeEvent event(cell, changed);
      QAccessible::updateAccessibility(&event);
    }
  }
}

void GridWidget::paintEvent(QPaintEvent* event) {
  QTableView::paintEvent(event);
  // The whole row is highlighted, so the current cell needs a mark of its own:
  // it is the one Space and the screen reader act on.
  const QModelIndex current = currentIndex();
  if (!current.isValid() || !hasFocus()) return;
  QPainter painter(viewport());
  QPen pen(palette().color(QPalette::HighlightedText));
  pen.setWidth(1);
  pen.setStyle(Qt::DotLine);
  painter.setPen(pen);
  painter.drawRect(visualRect(current).adjusted(1, 1, -2, -2));
}

void GridWidget::FitColumns() {
  if (FModel == nullptr) return;
  QHeaderView* header = horizontalHeader();
  const std::vector<int> widths = FModel->View().ColumnWidths(viewport()->width(), FScale);
  const int count = std::min<int>(header->count(), static_cast<int>(widths.size()));
  for (int i = 0; i < count; ++i) header->resizeSection(i, widths[static_cast<std::size_t>(i)]);
}

}  // namespace velmora::qt

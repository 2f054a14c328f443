#include "ui/qt/check_box_delegate.h"

#include <QApplication>
#include <QPainter>

namespace velmora::qt {

QRect CheckBoxDelegate::CheckRect(const QStyleOptionViewItem& option, const QWidget* widget) {
  const QStyle* style = widget ? widget->style() : QApplication::style();
  const QSize size(style->pixelMetric(QStyle::PM_IndicatorWidth, &option, widget),
                   style->pixelMetric(QStyle::PM_IndicatorHeight, &option, widget));
  return QStyle::alignedRect(option.direction, Qt::AlignCenter, size, option.rect);
}

void CheckBoxDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  // The cell's background and selection, without its own check box or text.
  QStyleOptionViewItem background = opt;
  background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
  background.text.clear();
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

  QStyleOptionViewItem check = opt;
  // The box keeps the normal colours in a subdued row: it is the one thing to read there.
  check.palette = option.palette;
  check.rect = CheckRect(opt, widget);
  check.state &= ~QStyle::State_HasFocus;
  switch (opt.checkState) {
    case Qt::Checked:
      check.state |= QStyle::State_On;
      break;
    case Qt::PartiallyChecked:
      check.state |= QStyle::State_NoChange;
      break;
    default:
      check.state |= QStyle::State_Off;
      break;
  }
  style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);
}

bool CheckBoxDelegate::editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) {
  // QStyledItemDelegate would toggle on its own terms; the grid decides instead.
  return false;
}

}  // namespace velmora::qt

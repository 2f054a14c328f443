#include "ui/qt/check_box_delegate.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
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

bool CheckBoxDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) {
  if (!(index.flags() & Qt::ItemIsUserCheckable) || !(index.flags() & Qt::ItemIsEnabled)) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      // Taken, so that a double click does not toggle twice.
      return CheckRect(option, option.widget).contains(static_cast<QMouseEvent*>(event)->position().toPoint());
    case QEvent::MouseButtonRelease: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton || !CheckRect(option, option.widget).contains(mouse->position().toPoint())) {
        return false;
      }
      break;
    }
    case QEvent::KeyPress: {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key != Qt::Key_Space && key != Qt::Key_Select) return false;
      break;
    }
    default:
      return false;
  }
  const auto state = index.data(Qt::CheckStateRole).value<Qt::CheckState>();
  return model->setData(index, state == Qt::Checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

}  // namespace velmora::qt

#pragma once

#include <QStyledItemDelegate>

namespace velmora::qt {

// Draws a checkable cell as a check box centred in the cell, with no text. Takes
// no input itself: the grid forwards clicks and keys to the view's rules.
class CheckBoxDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // Where the box of a cell is drawn.
  static QRect CheckRect(const QStyleOptionViewItem& option, const QWidget* widget);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

}  // namespace velmora::qt

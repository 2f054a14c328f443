#include "ui/qt/controller_model.h"

#include <QApplication>
#include <QPalette>

#include "controllers/color.h"
#include "ui/qt/guard.h"

namespace velmora::qt {
namespace {

Qt::Alignment ToQt(Alignment alignment) {
  switch (alignment) {
    case Alignment::Center:
      return Qt::AlignCenter;
    case Alignment::Right:
      return Qt::AlignRight | Qt::AlignVCenter;
    default:
      return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

Color ToColor(const QColor& c) {
  return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()), static_cast<std::uint8_t>(c.blue())};
}

}  // namespace

ControllerModel::ControllerModel(const GridViewDef& definition, DataSource& source, QObject* parent)
    : QAbstractTableModel(parent), FSource(source), FView(definition, source) {
  setObjectName(QString::fromStdString(definition.ViewName));
  FRowCount = FView.RowCount();
  FSource.AddLink(this);
}

ControllerModel::~ControllerModel() { FSource.RemoveLink(this); }

int ControllerModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : FRowCount; }

int ControllerModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : FView.ColumnCount(); }

QVariant ControllerModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= FRowCount) return {};
  const int column = index.column();
  const GridColumnDef& def = FView.Definition().Columns[static_cast<std::size_t>(column)];
  const Field* field = FView.ColumnField(column);
  if (field == nullptr) return {};
  const MemTable& table = *FView.Table();
  const int row = FView.TableRow(index.row());

  switch (role) {
    case Qt::DisplayRole:
      if (FView.IsCheckColumn(column) || table.CellIsNull(row, *field)) return {};
      return QString::fromStdU16String(FView.CellText(index.row(), column));
    case Qt::CheckStateRole:
      if (!FView.IsCheckColumn(column)) return {};
      switch (FView.CellCheckState(index.row(), column)) {
        case GridView::CheckState::Checked:
          return Qt::Checked;
        case GridView::CheckState::Mixed:
          return Qt::PartiallyChecked;
        default:
          return Qt::Unchecked;
      }
    case Qt::ToolTipRole: {
      const std::u16string note = FView.CellNote(index.row(), column);
      if (note.empty()) return {};
      return QString::fromStdU16String(note);
    }
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ToQt(def.CellAlignment));
    case Qt::ForegroundRole: {
      if (!FView.RowIsSubdued(index.row())) return {};
      const QPalette palette = QApplication::palette();
      const Color subdued =
          SubduedTextColor(ToColor(palette.color(QPalette::Active, QPalette::Text)),
                           ToColor(palette.color(QPalette::Active, QPalette::Base)));
      return QColor(subdued.R, subdued.G, subdued.B);
    }
    default:
      return {};
  }
}

QVariant ControllerModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= FView.ColumnCount()) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  const GridColumnDef& def = FView.Definition().Columns[static_cast<std::size_t>(section)];
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(def.FieldName);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(ToQt(def.HeaderAlignment));
    default:
      return {};
  }
}

Qt::ItemFlags ControllerModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  const GridColumnDef& def = FView.Definition().Columns[static_cast<std::size_t>(index.column())];
  if (FView.IsCheckColumn(index.column()) && def.Editable) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

bool ControllerModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid()) return false;
  // A toggle stores 1 unless the box is checked; a state it cannot reach is refused.
  const bool wantChecked = value.value<Qt::CheckState>() == Qt::Checked;
  const bool toggleChecks = FView.CellCheckState(index.row(), index.column()) != GridView::CheckState::Checked;
  if (wantChecked != toggleChecks) return false;
  return Toggle(index);
}

bool ControllerModel::Toggle(const QModelIndex& index) {
  if (!index.isValid() || index.model() != this || !(flags(index) & Qt::ItemIsUserCheckable)) return false;
  // The table tells us of the posted (or restored) value through the data source.
  bool toggled = false;
  const bool ok = Guarded([&] { toggled = FView.ToggleCheck(index.row(), index.column()); });
  return ok && toggled;
}

void ControllerModel::sort(int column, Qt::SortOrder order) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<int> tableRows;
  tableRows.reserve(static_cast<std::size_t>(before.size()));
  for (const QModelIndex& index : before) tableRows.push_back(FView.TableRow(index.row()));
  FView.SortBy(column, order == Qt::DescendingOrder);
  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype i = 0; i < before.size(); ++i) {
    after.push_back(this->index(FView.ViewRow(tableRows[static_cast<std::size_t>(i)]), before[i].column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ControllerModel::DataEvent(velmora::DataEvent event, int row) {
  switch (event) {
    case DataEvent::DataSetChanged:
      beginResetModel();
      FView.Refresh();
      FRowCount = FView.RowCount();
      endResetModel();
      break;
    case DataEvent::RecordChanged: {
      const int viewRow = FView.ViewRow(row);
      if (viewRow >= 0 && viewRow < FRowCount) {
        emit dataChanged(index(viewRow, 0), index(viewRow, FView.ColumnCount() - 1));
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace velmora::qt

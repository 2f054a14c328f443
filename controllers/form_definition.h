#pragma once
// The stored definition of a window as data: what a front end needs to build it.
// Positions and sizes are pixels at 96 per inch.

#include <string>
#include <vector>

namespace velmora {

enum class Alignment { Default, Left, Center, Right };
enum class CellEditor { Default, Text, CheckBox };

struct Bounds {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  bool operator==(const Bounds&) const = default;
};

struct GridColumnDef {
  std::string Name;       // the column component's name
  std::string FieldName;  // the field it shows; also its caption
  CellEditor Editor = CellEditor::Default;
  Alignment CellAlignment = Alignment::Default;
  Alignment HeaderAlignment = Alignment::Default;
  int Width = 0;  // 0: the toolkit's default
  bool Editable = false;
};

struct GridViewDef {
  std::string GridName;   // the grid control
  std::string LevelName;  // its one level
  std::string ViewName;   // the table view the level shows
  std::string DataSourceName;
  bool Deleting = false;
  bool Inserting = false;
  bool ColumnFiltering = false;
  bool ColumnAutoWidth = true;
  bool GroupByBox = false;
  bool DeleteConfirmation = false;
  std::vector<GridColumnDef> Columns;
  // The fields by which a write-back finds a row's record in the database.
  std::vector<std::string> KeyFieldNames;
};

struct ControlDef {
  std::string Name;
  velmora::Bounds Bounds;
  int TabOrder = 0;
  std::string Caption;
  bool Cancel = false;  // Esc activates it
};

struct FormDef {
  std::string Name;
  std::string ClassName;
  std::string Caption;
  int ClientWidth = 0;
  int ClientHeight = 0;
  int PixelsPerInch = 96;
  int TextHeight = 13;
  std::string FontName;
  int FontHeightPixels = 11;
  bool Sizeable = true;
  bool DefaultPosition = true;
  bool ButtonFaceBackground = true;
  ControlDef Grid;
  ControlDef CloseButton;
  GridViewDef GridView;
};

}  // namespace velmora

// The real window laid out for the screen's density. Runs once at 96 dpi (in
// ui_test) and once with Qt reporting 144 dpi itself (ui_scaled_test: Qt's own
// scaling off, QT_FONT_DPI=144), so both densities are measured on real widgets.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <cstdlib>

#include "controllers/form_scale.h"
#include "tests/support/test_registry.h"
#include "ui/qt/controller_model.h"
#include "ui/qt/grid_widget.h"
#include "ui/qt/main_window_widget.h"
#include "ui/qt/message_box.h"

namespace velmora::qt {
namespace {

class ScaledWindow : public ::testing::Test {
 protected:
  ScaledWindow() : service(registry.UseTestService()) {
    CoInitialize();
    MessageBox::SetInterceptor([](const MessageBox::Shown&) { ADD_FAILURE() << "no box expected"; });
    service.Rows.push_back({std::int64_t{1}, std::int64_t{1}, std::string("Arden"), std::string("Door"), std::int64_t{0}});
    window = std::make_unique<MainWindowWidget>();
    window->Create();
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }
  ~ScaledWindow() override {
    window.reset();
    MessageBox::SetInterceptor(nullptr);
    CoUninitialize();
  }

  // The density this run was started for.
  static int ExpectedDpi() {
    const char* dpi = std::getenv("QT_FONT_DPI");
    return dpi ? std::atoi(dpi) : 96;
  }

  test::TestRegistry registry;
  test::TestServiceControl& service;
  std::unique_ptr<MainWindowWidget> window;
};

TEST_F(ScaledWindow, FontFollowsTheDensityAndTheLayoutTheTextHeight) {
  const FormDef& def = TfrmMain::Definition();
  const int dpi = window->logicalDpiY();
  ASSERT_EQ(dpi, ExpectedDpi());
  const struct {
    int Dpi, Font;
  } fonts[] = {{96, 11}, {120, 14}, {144, 17}, {192, 22}};
  for (const auto& f : fonts) {
    if (f.Dpi == dpi) {
      EXPECT_EQ(window->font().pixelSize(), f.Font);
    }
  }
  const int textHeight = QFontMetrics(window->font()).height();
  const FormScale scale = FormScale::For(def, dpi, textHeight);
  EXPECT_EQ(window->Scale().Numerator(), scale.Numerator());
  EXPECT_EQ(window->Scale().Denominator(), scale.Denominator());
  if (dpi == 96) {
    EXPECT_TRUE(scale.IsIdentity()) << "at 96 dpi the stored pixels are used as they are";
  }

  const auto rect = [&](const Bounds& b) {
    const Bounds s = scale.Scale(b);
    return QRect(s.Left, s.Top, s.Width, s.Height);
  };
  EXPECT_EQ(window->size(), QSize(scale.Scale(def.ClientWidth), scale.Scale(def.ClientHeight)));
  auto* grid = window->findChild<GridWidget*>("cxGrid1");
  auto* button = window->findChild<QPushButton*>("btnClose");
  ASSERT_TRUE(grid && button);
  EXPECT_EQ(grid->geometry(), rect(def.Grid.Bounds));
  EXPECT_EQ(button->geometry(), rect(def.CloseButton.Bounds));
  EXPECT_EQ(button->font().pixelSize(), window->font().pixelSize());
  // Neither control moves or grows with the window.
  window->resize(window->width() + 100, window->height() + 50);
  QApplication::processEvents();
  EXPECT_EQ(grid->geometry(), rect(def.Grid.Bounds));
  EXPECT_EQ(button->geometry(), rect(def.CloseButton.Bounds));
  RecordProperty("dpi", dpi);
  RecordProperty("text_height", textHeight);
  RecordProperty("client", std::to_string(window->width() - 100) + "x" + std::to_string(window->height() - 50));
}

TEST_F(ScaledWindow, ColumnsFillTheGridByTheRuleAndKeepTheirAlignments) {
  GridWidget& grid = window->Grid();
  QHeaderView* header = grid.horizontalHeader();
  const GridView& view = window->Model().View();
  const std::vector<int> widths = view.ColumnWidths(grid.viewport()->width(), window->Scale());
  ASSERT_EQ(header->count(), static_cast<int>(widths.size()));
  int total = 0;
  for (int c = 0; c < header->count(); ++c) {
    SCOPED_TRACE(c);
    EXPECT_EQ(header->sectionSize(c), widths[static_cast<std::size_t>(c)]);
    // Auto-width: the operator cannot drag a width the rule would have to undo.
    EXPECT_EQ(header->sectionResizeMode(c), QHeaderView::Fixed);
    total += header->sectionSize(c);
  }
  EXPECT_EQ(total, grid.viewport()->width());
  EXPECT_FALSE(grid.horizontalScrollBar()->isVisible());

  const Qt::Alignment centre = Qt::AlignCenter;
  const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
  const Qt::Alignment cells[] = {centre, centre, centre, left};
  QAbstractItemModel& model = window->Model();
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(model.headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(), centre) << c;
    if (c < 4) {
      EXPECT_EQ(model.index(0, c).data(Qt::TextAlignmentRole).value<Qt::Alignment>(), cells[c]) << c;
    }
  }
  // The box sits in the middle of its cell whatever the density.
  const QModelIndex box = model.index(0, 4);
  const QPoint offset = grid.CheckBoxRect(box).center() - grid.visualRect(box).center();
  EXPECT_LE(offset.manhattanLength(), 1) << offset.x() << "," << offset.y();
}

}  // namespace
}  // namespace velmora::qt

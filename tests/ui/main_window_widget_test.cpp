#include "ui/qt/main_window_widget.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QImage>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <QMouseEvent>

#include "controllers/color.h"
#include "service/utf.h"
#include "tests/support/test_registry.h"
#include "ui/qt/check_box_delegate.h"
#include "ui/qt/controller_model.h"
#include "ui/qt/grid_widget.h"
#include "ui/qt/guard.h"
#include "ui/qt/load_progress.h"
#include "ui/qt/message_box.h"

namespace velmora::qt {
namespace {

using test::Failure;
using test::TestValue;

constexpr int kDisabledColumn = 4;

// The real frmMain on the test service, created and shown; every box it raises is
// recorded and answered.
class WindowFixture : public ::testing::Test {
 protected:
  WindowFixture() : service(registry.UseTestService()) {
    CoInitialize();
    MessageBox::SetInterceptor([this](const MessageBox::Shown& box) {
      boxes.push_back(box.Caption.toStdString() + ": " + box.Text.toStdString());
    });
  }
  ~WindowFixture() override {
    MessageBox::SetInterceptor(nullptr);
    CoUninitialize();
  }

  // Rows (site, controller, disabled) with a description each.
  void Serve(std::initializer_list<std::tuple<int, int, TestValue>> rows) {
    for (const auto& [site, controller, disabled] : rows) {
      service.Rows.push_back({std::int64_t{site}, std::int64_t{controller}, std::string("Arden"),
                              std::string("Door ") + std::to_string(site) + "/" + std::to_string(controller), disabled});
    }
  }

  MainWindowWidget& Open() {
    window = std::make_unique<MainWindowWidget>();
    tester = std::make_unique<QAbstractItemModelTester>(&window->Model(),
                                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
    window->Create();
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return *window;
  }

  GridWidget& Grid() { return window->Grid(); }
  QModelIndex Cell(int row, int column) { return window->Model().index(row, column); }

  // Where the check box of a cell is drawn, as the delegate computes it.
  QPoint CheckBoxCentre(int row) {
    const QModelIndex index = Cell(row, kDisabledColumn);
    QStyleOptionViewItem option;
    option.initFrom(Grid().viewport());
    option.rect = Grid().visualRect(index);
    return CheckBoxDelegate::CheckRect(option, &Grid()).center();
  }

  void ClickCheckBox(int row) {
    Grid().scrollTo(Cell(row, kDisabledColumn));
    QTest::mouseClick(Grid().viewport(), Qt::LeftButton, {}, CheckBoxCentre(row));
  }

  Qt::CheckState CheckState(int row) { return Cell(row, kDisabledColumn).data(Qt::CheckStateRole).value<Qt::CheckState>(); }

  std::vector<std::string> Statements() const {
    std::vector<std::string> out;
    for (const std::u16string& text : service.Received) {
      const std::string t = Utf16ToUtf8(text);
      if (t.rfind("UPDATE", 0) == 0) out.push_back(t);
    }
    return out;
  }

  test::TestRegistry registry;
  test::TestServiceControl& service;
  std::vector<std::string> boxes;
  std::unique_ptr<MainWindowWidget> window;
  std::unique_ptr<QAbstractItemModelTester> tester;
};

TEST_F(WindowFixture, FrameCaptionSizeAndFont) {
  MainWindowWidget& w = Open();
  EXPECT_EQ(w.objectName(), "frmMain");
  EXPECT_EQ(w.windowTitle(), "Velmora/Controller Connection Utility");
  EXPECT_EQ(w.windowHandle()->title(), "Velmora/Controller Connection Utility");
  EXPECT_EQ(w.size(), QSize(690, 354));
  EXPECT_EQ(w.font().pixelSize(), 11);
  EXPECT_EQ(w.font().family(), "Tahoma");
  EXPECT_EQ(w.palette().color(QPalette::Window), w.palette().color(QPalette::Button));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowFixture, WithoutAServiceTheBoxComesFirstAndTheWindowOpensEmpty) {
  registry.Unregister();
  MainWindowWidget& w = Open();
  EXPECT_EQ(boxes, (std::vector<std::string>{"Velmora Controller Connection Utility: Class not registered, ClassID: "
                                             "{72D2BD55-66FA-11D4-A097-0050DAC21168}."}));
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(w.Form().kbmControllers.Active());
  EXPECT_EQ(w.Model().rowCount(), 0);
}

TEST_F(WindowFixture, LayoutIsFixedAndTabOrderIsGridThenButton) {
  MainWindowWidget& w = Open();
  auto* button = w.findChild<QPushButton*>("btnClose");
  auto* grid = w.findChild<GridWidget*>("cxGrid1");
  ASSERT_NE(button, nullptr);
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(button->text(), "Close");
  for (const QSize size : {QSize(690, 354), QSize(900, 600), QSize(400, 200)}) {
    w.resize(size);
    QApplication::processEvents();
    EXPECT_EQ(grid->geometry(), QRect(8, 8, 673, 305));
    EXPECT_EQ(button->geometry(), QRect(607, 319, 75, 25));
  }
  // Tab leaves the grid for the button, and Shift+Tab comes back.
  w.activateWindow();
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), button);
  QTest::keyClick(button, Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), grid);
}

TEST_F(WindowFixture, ColumnsCaptionsAlignmentsAndAutoWidth) {
  Serve({{1, 1, std::int64_t{0}}});
  Open();
  QAbstractItemModel& model = window->Model();
  const char* captions[] = {"Site", "Controller", "Controller Type", "Description", "Disabled"};
  ASSERT_EQ(model.columnCount(), 5);
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(model.headerData(c, Qt::Horizontal).toString(), captions[c]);
    EXPECT_EQ(model.headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::AlignCenter);
  }
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(Cell(0, c).data(Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::AlignCenter) << c;
  }
  EXPECT_EQ(Cell(0, 3).data(Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::AlignLeft | Qt::AlignVCenter);

  // The columns fill the view exactly, in proportion to 48:73:105:343:64.
  QHeaderView* header = Grid().horizontalHeader();
  int total = 0;
  for (int c = 0; c < 5; ++c) total += header->sectionSize(c);
  EXPECT_EQ(total, Grid().viewport()->width());
  EXPECT_NEAR(header->sectionSize(3) * 48.0 / header->sectionSize(0), 343.0, 8.0);
  EXPECT_FALSE(Grid().horizontalScrollBar()->isVisible());
}

TEST_F(WindowFixture, CheckBoxShowsTheDatabaseValue) {
  Serve({{1, 1, std::int64_t{1}}, {1, 2, std::int64_t{0}}, {1, 3, TestValue{}}, {1, 4, std::int64_t{2}},
         {1, 5, std::int64_t{-1}}, {1, 6, std::string("yes")}});
  boxes.clear();
  Open();
  // "yes" cannot be an integer: the load stops there with a box, keeping the rows before.
  ASSERT_EQ(window->Model().rowCount(), 5);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(CheckState(0), Qt::Checked);
  EXPECT_EQ(CheckState(1), Qt::Unchecked);
  EXPECT_EQ(CheckState(2), Qt::Unchecked);
  EXPECT_EQ(CheckState(3), Qt::PartiallyChecked);
  EXPECT_EQ(CheckState(4), Qt::PartiallyChecked);
  EXPECT_FALSE(Cell(3, kDisabledColumn).data(Qt::ToolTipRole).toString().isEmpty());
  EXPECT_TRUE(Cell(1, kDisabledColumn).data(Qt::ToolTipRole).isNull());
  // Only the check box is editable.
  for (int c = 0; c < 4; ++c) EXPECT_FALSE(Cell(0, c).flags() & (Qt::ItemIsEditable | Qt::ItemIsUserCheckable));
  EXPECT_TRUE(Cell(0, kDisabledColumn).flags() & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(Cell(0, kDisabledColumn).flags() & Qt::ItemIsEditable);
}

TEST_F(WindowFixture, ClickingACheckBoxSendsExactlyOneStatement) {
  struct Case {
    const char* Label;
    TestValue Before;
    const char* Statement;
    Qt::CheckState After;
  } cases[] = {
      {"check an unchecked box", std::int64_t{0}, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 3 and Controller = 12",
       Qt::Checked},
      {"uncheck a checked box", std::int64_t{1}, "UPDATE Controllers SET ConnectArden=0 WHERE Site = 3 and Controller = 12",
       Qt::Unchecked},
      {"check a null box", TestValue{}, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 3 and Controller = 12",
       Qt::Checked},
      {"check an odd value", std::int64_t{2}, "UPDATE Controllers SET ConnectArden=1 WHERE Site = 3 and Controller = 12",
       Qt::Checked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    registry.UseTestService();
    Serve({{3, 11, std::int64_t{0}}, {3, 12, c.Before}, {3, 13, std::int64_t{0}}});
    Open();
    ClickCheckBox(1);
    EXPECT_EQ(Statements(), (std::vector<std::string>{c.Statement}));
    EXPECT_EQ(CheckState(1), c.After);
    EXPECT_TRUE(boxes.empty());
  }
}

TEST_F(WindowFixture, AClickBesideTheBoxTogglesNothing) {
  Serve({{1, 1, std::int64_t{0}}});
  Open();
  const QRect cell = Grid().visualRect(Cell(0, kDisabledColumn));
  QTest::mouseClick(Grid().viewport(), Qt::LeftButton, {}, QPoint(cell.left() + 2, cell.center().y()));
  EXPECT_TRUE(Statements().empty());
  ClickCheckBox(0);
  EXPECT_EQ(Statements().size(), 1u);
}

TEST_F(WindowFixture, SpaceTogglesTheRowsBoxFromEveryColumn) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}});
  Open();
  Grid().setFocus();
  const char* columns[] = {"Site", "Controller", "Controller Type", "Description", "Disabled"};
  std::vector<std::string> expected;
  for (int c = 0; c < 5; ++c) {
    SCOPED_TRACE(columns[c]);
    Grid().setCurrentIndex(Cell(1, c));
    const bool wasChecked = CheckState(1) == Qt::Checked;
    QTest::keyClick(&Grid(), Qt::Key_Space);
    expected.push_back(std::string("UPDATE Controllers SET ConnectArden=") + (wasChecked ? "0" : "1") +
                       " WHERE Site = 1 and Controller = 2");
    EXPECT_EQ(Statements(), expected);
    EXPECT_EQ(CheckState(1), wasChecked ? Qt::Unchecked : Qt::Checked);
    EXPECT_EQ(Grid().currentIndex(), Cell(1, c));  // the current cell stays where it was
  }
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
}

TEST_F(WindowFixture, AClickMakesTheClickedCellCurrentAndOnlyABoxToggles) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}, {1, 3, std::int64_t{0}}});
  Open();
  Grid().setFocus();
  ClickCheckBox(2);
  EXPECT_EQ(Grid().currentIndex(), Cell(2, kDisabledColumn));
  EXPECT_EQ(Statements().size(), 1u);
  for (int c = 0; c < 4; ++c) {
    QTest::mouseClick(Grid().viewport(), Qt::LeftButton, {}, Grid().visualRect(Cell(0, c)).center());
    EXPECT_EQ(Grid().currentIndex(), Cell(0, c)) << c;
    EXPECT_TRUE(Grid().selectionModel()->isRowSelected(0, {})) << c;
  }
  EXPECT_EQ(Statements().size(), 1u);
  // The box is then one Space away from wherever the click left the current cell.
  QTest::keyClick(&Grid(), Qt::Key_Space);
  EXPECT_EQ(CheckState(0), Qt::Checked);
}

TEST_F(WindowFixture, TheCurrentCellIsMarkedWithinTheHighlightedRow) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}});
  service.Rows[1][3] = std::string("");  // an empty cell: nothing but the mark is drawn in it
  MainWindowWidget& w = Open();
  w.activateWindow();
  Grid().setFocus();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  const QColor mark = Grid().palette().color(QPalette::HighlightedText);
  const auto marked = [&](const QModelIndex& index) {
    Grid().viewport()->repaint();
    const QImage image = Grid().viewport()->grab().toImage();
    const QRect cell = Grid().visualRect(index);
    int hits = 0;
    for (int y = cell.top() + 1; y < cell.bottom(); ++y) hits += image.pixelColor(cell.left() + 1, y) == mark;
    return hits > 0;
  };
  Grid().setCurrentIndex(Cell(1, 3));
  EXPECT_TRUE(marked(Cell(1, 3)));
  EXPECT_FALSE(marked(Cell(1, 1)));
  Grid().setCurrentIndex(Cell(1, 1));
  EXPECT_TRUE(marked(Cell(1, 1)));
  EXPECT_FALSE(marked(Cell(1, 3)));
}

// What the windowing system delivers for a double click: press, release, the
// double-click press, release.
void DoubleClick(QWidget* widget, QPoint at) {
  QTest::mousePress(widget, Qt::LeftButton, {}, at);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
  QMouseEvent press(QEvent::MouseButtonDblClick, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
}

TEST_F(WindowFixture, ADoubleClickOnABoxTogglesItOnce) {
  struct Case {
    const char* Label;
    TestValue Before;
    std::vector<std::string> Statements;
    Qt::CheckState After;
  } cases[] = {
      {"unchecked", std::int64_t{0}, {"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"},
       Qt::Checked},
      {"checked", std::int64_t{1}, {"UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1"},
       Qt::Unchecked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    registry.UseTestService();
    Serve({{1, 1, c.Before}});
    Open();
    DoubleClick(Grid().viewport(), CheckBoxCentre(0));
    EXPECT_EQ(Statements(), c.Statements);
    EXPECT_EQ(CheckState(0), c.After);
    EXPECT_EQ(Grid().currentIndex(), Cell(0, kDisabledColumn));
    // A double click on a text cell toggles nothing.
    DoubleClick(Grid().viewport(), Grid().visualRect(Cell(0, 3)).center());
    EXPECT_EQ(Statements(), c.Statements);
  }
}

TEST_F(WindowFixture, ThePressAndTheReleaseMustBothBeOnTheBox) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}});
  Open();
  const QPoint box = CheckBoxCentre(0);
  const QPoint beside = Grid().visualRect(Cell(0, 3)).center();
  QTest::mousePress(Grid().viewport(), Qt::LeftButton, {}, box);
  QTest::mouseRelease(Grid().viewport(), Qt::LeftButton, {}, beside);
  QTest::mousePress(Grid().viewport(), Qt::LeftButton, {}, beside);
  QTest::mouseRelease(Grid().viewport(), Qt::LeftButton, {}, box);
  QTest::mouseClick(Grid().viewport(), Qt::RightButton, {}, box);
  EXPECT_TRUE(Statements().empty());
}

TEST_F(WindowFixture, TheCloseButtonClosesByMouse) {
  Serve({{1, 1, std::int64_t{0}}});
  MainWindowWidget& w = Open();
  QTest::mouseClick(w.findChild<QPushButton*>("btnClose"), Qt::LeftButton);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.Form().kbmControllers.Active());
  EXPECT_TRUE(Statements().empty());
}

TEST_F(WindowFixture, ARowWhoseKeyAnotherSharesRefusesItsToggleWithABox) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}, {1, 2, std::int64_t{1}}});
  Open();
  ClickCheckBox(1);
  Grid().setCurrentIndex(Cell(2, 0));
  QTest::keyClick(&Grid(), Qt::Key_Space);
  const std::string box =
      "Velmora Controller Connection Utility: Site 1, Controller 2 is listed more than once, so this change was not "
      "stored: it would change every record with this Site and Controller at once.";
  EXPECT_EQ(boxes, (std::vector<std::string>{box, box}));
  EXPECT_TRUE(Statements().empty());
  EXPECT_EQ(CheckState(1), Qt::Unchecked);
  EXPECT_EQ(CheckState(2), Qt::Checked);
}

TEST_F(WindowFixture, AControlCharacterInAValueReachesTheBoxWhole) {
  service.Rows.push_back({std::string("7\0x", 3), std::int64_t{1}, std::string("Arden"), std::string("d"),
                          std::int64_t{0}});
  Open();
  EXPECT_EQ(boxes, (std::vector<std::string>{"Velmora Controller Connection Utility: Site 7\u2400x, controller 1: "
                                             "Field 'Site' cannot hold '7\u2400x': not a valid integer."}));
}

TEST_F(WindowFixture, TypingDeleteAndInsertChangeNothing) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{1}}});
  Open();
  Grid().setFocus();
  for (int c = 0; c < 4; ++c) {
    Grid().setCurrentIndex(Cell(0, c));
    QTest::keyClicks(&Grid(), "99x");
    QTest::keyClick(&Grid(), Qt::Key_F2);
    QTest::keyClicks(&Grid(), "7");
    QTest::keyClick(&Grid(), Qt::Key_Return);
    QTest::mouseDClick(Grid().viewport(), Qt::LeftButton, {}, Grid().visualRect(Cell(0, c)).center());
    QTest::keyClicks(&Grid(), "5");
  }
  for (const Qt::Key key : {Qt::Key_Delete, Qt::Key_Insert}) QTest::keyClick(&Grid(), key);
  EXPECT_EQ(window->Model().rowCount(), 2);
  EXPECT_EQ(Cell(0, 0).data().toInt(), 1);
  EXPECT_EQ(Cell(0, 1).data().toInt(), 1);
  EXPECT_EQ(Cell(0, 2).data().toString(), "Arden");
  EXPECT_EQ(Cell(0, 3).data().toString(), "Door 1/1");
  EXPECT_TRUE(Statements().empty());
  EXPECT_EQ(Grid().findChildren<QWidget*>("qt_editor").size(), 0);  // no cell editor opened
}

TEST_F(WindowFixture, EscapeClosesTheWindowWhereverTheFocusIs) {
  for (const bool focusOnGrid : {true, false}) {
    SCOPED_TRACE(focusOnGrid);
    Serve({{1, 1, std::int64_t{0}}});
    MainWindowWidget& w = Open();
    QWidget* target = focusOnGrid ? static_cast<QWidget*>(&Grid()) : w.findChild<QPushButton*>("btnClose");
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Escape);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Form().kbmControllers.Active());
  }
}

TEST_F(WindowFixture, AFailedWriteBackShowsTheBoxAndTheOldValue) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{1}}});
  Open();
  service.ExecuteResults = {Failure{E_FAIL, u"attempt to write a readonly database"}};
  ClickCheckBox(0);
  EXPECT_EQ(boxes, (std::vector<std::string>{
                       "Velmora Controller Connection Utility: attempt to write a readonly database."}));
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
  ClickCheckBox(0);  // the next toggle tries again, and succeeds
  EXPECT_EQ(CheckState(0), Qt::Checked);
  EXPECT_EQ(Statements().size(), 2u);
}

TEST_F(WindowFixture, WithTheServiceGoneEveryToggleShowsTheCreationMessage) {
  Serve({{1, 1, std::int64_t{0}}});
  Open();
  registry.Unregister();
  ClickCheckBox(0);
  ClickCheckBox(0);
  const std::string box =
      "Velmora Controller Connection Utility: Class not registered, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}.";
  EXPECT_EQ(boxes, (std::vector<std::string>{box, box}));
  EXPECT_EQ(CheckState(0), Qt::Unchecked);
}

TEST_F(WindowFixture, SortingByAHeaderKeepsTableOrderAndWritesBackTheClickedRow) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}, {2, 1, std::int64_t{0}}});
  service.Rows[0][3] = std::string("Charlie");
  service.Rows[1][3] = std::string("alpha");
  service.Rows[2][3] = std::string("Bravo");
  MainWindowWidget& w = Open();
  QHeaderView* header = Grid().horizontalHeader();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(3) + header->sectionSize(3) / 2, header->height() / 2));
  EXPECT_EQ(Cell(0, 3).data().toString(), "alpha");
  EXPECT_EQ(Cell(1, 3).data().toString(), "Bravo");
  EXPECT_EQ(Cell(2, 3).data().toString(), "Charlie");
  ClickCheckBox(2);  // Charlie: site 1, controller 1
  EXPECT_EQ(Statements(), (std::vector<std::string>{"UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1"}));
  EXPECT_EQ(CheckState(2), Qt::Checked);
  // The table itself keeps its load order.
  EXPECT_EQ(w.Form().kbmControllers.CellInteger(0, w.Form().kbmControllersController), 1);
  EXPECT_EQ(w.Form().kbmControllers.CellInteger(1, w.Form().kbmControllersController), 2);
  // A second click reverses.
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(3) + header->sectionSize(3) / 2, header->height() / 2));
  EXPECT_EQ(Cell(0, 3).data().toString(), "Charlie");
}

TEST_F(WindowFixture, DisabledRowsAreDrawnSubduedAndStayReadable) {
  Serve({{1, 1, std::int64_t{1}}, {1, 2, std::int64_t{0}}});
  Open();
  const QPalette palette = QApplication::palette();
  const QColor text = palette.color(QPalette::Text);
  const QColor base = palette.color(QPalette::Base);
  const auto toColor = [](const QColor& c) {
    return Color{static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
                 static_cast<std::uint8_t>(c.blue())};
  };
  for (int c = 0; c < 4; ++c) {
    SCOPED_TRACE(c);
    const QColor subdued = Cell(0, c).data(Qt::ForegroundRole).value<QColor>();
    ASSERT_TRUE(subdued.isValid());
    EXPECT_NE(subdued, text);
    EXPECT_GE(ContrastRatio(toColor(subdued), toColor(base)), 4.5) << subdued.name().toStdString();
    EXPECT_FALSE(Cell(1, c).data(Qt::ForegroundRole).isValid());
  }
  // Qt's own disabled text colour, which this replaces, is far below that.
  EXPECT_LT(ContrastRatio(toColor(palette.color(QPalette::Disabled, QPalette::Text)), toColor(base)), 4.5);
}

TEST_F(WindowFixture, TheLoadIsShownOnceAtItsEnd) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}, {1, 3, std::int64_t{0}}});
  window = std::make_unique<MainWindowWidget>();
  int resets = 0, inserts = 0, changes = 0;
  QObject::connect(&window->Model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
  QObject::connect(&window->Model(), &QAbstractItemModel::rowsInserted, [&] { ++inserts; });
  QObject::connect(&window->Model(), &QAbstractItemModel::dataChanged, [&] { ++changes; });
  window->Create();
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(inserts, 0);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(window->Model().rowCount(), 3);
}

TEST(LoadProgress, AppearsOnlyWhenDueCountsRowsAndGoesWithTheLoad) {
  QPointer<QWidget> window;
  {
    LoadProgress late(60000);
    late.Update(1024);
    EXPECT_EQ(late.Window(), nullptr);

    LoadProgress due(0);
    due.Update(123456);
    window = due.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    auto* label = window->findChild<QLabel*>();
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().contains(QLocale().toString(123456))) << label->text().toStdString();
  }
  EXPECT_TRUE(window.isNull());
}

TEST_F(WindowFixture, AssistiveTechnologySeesAFrameATableAndCheckableBoxes) {
  Serve({{1, 1, std::int64_t{1}}, {1, 2, std::int64_t{0}}, {1, 3, std::int64_t{2}}});
  MainWindowWidget& w = Open();
  QAccessibleInterface* frame = QAccessible::queryAccessibleInterface(&w);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->role(), QAccessible::Window);
  EXPECT_EQ(frame->text(QAccessible::Name), "Velmora/Controller Connection Utility");

  QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(&Grid());
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->role(), QAccessible::Table);
  EXPECT_EQ(grid->text(QAccessible::Name), "Controllers");
  QAccessibleTableInterface* table = grid->tableInterface();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->rowCount(), 3);
  EXPECT_EQ(table->columnCount(), 5);

  struct Case {
    const char* Label;
    int Row;
    bool Checked, Mixed;
  } cases[] = {{"checked", 0, true, false}, {"unchecked", 1, false, false}, {"odd value", 2, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    QAccessibleInterface* box = table->cellAt(c.Row, kDisabledColumn);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->role(), QAccessible::CheckBox);
    EXPECT_EQ(box->text(QAccessible::Name), "Disabled");
    EXPECT_TRUE(box->state().checkable);
    EXPECT_EQ(bool(box->state().checked), c.Checked);
    EXPECT_EQ(bool(box->state().checkStateMixed), c.Mixed);
    ASSERT_NE(box->actionInterface(), nullptr);
    EXPECT_TRUE(box->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
    // The numbering of the view's own focus events leads back to the same cell.
    EXPECT_EQ(grid->child(grid->indexOfChild(box)), box);
    QAccessibleInterface* site = table->cellAt(c.Row, 0);
    EXPECT_EQ(site->role(), QAccessible::Cell);
    EXPECT_EQ(site->text(QAccessible::Name), "1");
    EXPECT_FALSE(site->state().checkable);
    EXPECT_TRUE(site->actionInterface()->actionNames().isEmpty());
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(w.findChild<QPushButton*>("btnClose"))->text(QAccessible::Name),
            "Close");
}

TEST_F(WindowFixture, TheBoxsAccessibleActionTogglesItThroughTheWriteBack) {
  Serve({{1, 1, std::int64_t{0}}, {1, 2, std::int64_t{0}}, {1, 2, std::int64_t{1}}});
  Open();
  QAccessibleTableInterface* table = QAccessible::queryAccessibleInterface(&Grid())->tableInterface();
  const QString actions[] = {QAccessibleActionInterface::toggleAction(), QAccessibleActionInterface::pressAction()};
  std::vector<std::string> expected;
  for (const QString& action : actions) {
    SCOPED_TRACE(action.toStdString());
    QAccessibleInterface* box = table->cellAt(0, kDisabledColumn);
    const bool was = box->state().checked;
    box->actionInterface()->doAction(action);
    expected.push_back(std::string("UPDATE Controllers SET ConnectArden=") + (was ? "0" : "1") +
                       " WHERE Site = 1 and Controller = 1");
    EXPECT_EQ(Statements(), expected);
    EXPECT_NE(bool(table->cellAt(0, kDisabledColumn)->state().checked), was);
    EXPECT_EQ(Grid().currentIndex(), Cell(0, kDisabledColumn));
  }
  // A twin's box refuses, as it does for a click, and sends nothing.
  table->cellAt(1, kDisabledColumn)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(Statements(), expected);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("is listed more than once"), std::string::npos) << boxes[0];
  // Cells of a text column have no action to take.
  table->cellAt(0, 3)->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(Statements(), expected);
}

// Watches for the progress window while the load runs, and what the cursor is then.
class ProgressWatch : public QObject {
 public:
  ProgressWatch() { QApplication::instance()->installEventFilter(this); }
  ~ProgressWatch() override { QApplication::instance()->removeEventFilter(this); }
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Show && object->objectName() == "LoadProgress") {
      ++Shown;
      const QCursor* cursor = QApplication::overrideCursor();
      BusyWhileShown = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    }
    if (event->type() == QEvent::Paint) {
      if (auto* label = qobject_cast<QLabel*>(object); label && label->window()->objectName() == "LoadProgress") {
        Texts.push_back(label->text().toStdString());
      }
    }
    return false;
  }
  int Shown = 0;
  bool BusyWhileShown = false;
  std::vector<std::string> Texts;
};

TEST_F(WindowFixture, ALargeLoadShowsItsProgressAndTheBusyCursorThenBothGo) {
  for (int i = 0; i < 3 * MemTable::kLoadProgressRows + 5; ++i) {
    service.Rows.push_back({std::int64_t{1 + i / 100}, std::int64_t{i % 100}, std::string("Arden"), std::string("d"),
                            std::int64_t{0}});
  }
  window = std::make_unique<MainWindowWidget>();
  window->SetLoadProgressDelay(0);
  ProgressWatch watch;
  window->Create();
  EXPECT_EQ(watch.Shown, 1);
  EXPECT_TRUE(watch.BusyWhileShown);
  ASSERT_FALSE(watch.Texts.empty());
  // The window appears at the first report, as soon as its delay is over.
  EXPECT_NE(watch.Texts.front().find(QLocale().toString(MemTable::kLoadProgressRows).toStdString()), std::string::npos)
      << watch.Texts.front();
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_NE(w->objectName(), "LoadProgress");
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(window->Model().rowCount(), 3 * MemTable::kLoadProgressRows + 5);
}

TEST_F(WindowFixture, AFailedLoadTakesItsProgressWindowAwayBeforeTheBox) {
  for (int i = 0; i < 2 * MemTable::kLoadProgressRows; ++i) {
    service.Rows.push_back({std::int64_t{1}, std::int64_t{i}, std::string("Arden"), std::string("d"), std::int64_t{0}});
  }
  service.FailMoveNextAtRow = MemTable::kLoadProgressRows + 10;
  service.MoveNextFailure = Failure{E_FAIL, u"disk I/O error"};
  std::vector<bool> progressOpenAtBox;
  MessageBox::SetInterceptor([&](const MessageBox::Shown&) {
    bool open = false;
    for (QWidget* w : QApplication::topLevelWidgets()) open = open || (w->objectName() == "LoadProgress" && w->isVisible());
    progressOpenAtBox.push_back(open);
    progressOpenAtBox.push_back(QApplication::overrideCursor() != nullptr);
  });
  window = std::make_unique<MainWindowWidget>();
  window->SetLoadProgressDelay(0);
  ProgressWatch watch;
  window->Create();
  EXPECT_EQ(watch.Shown, 1);
  EXPECT_EQ(progressOpenAtBox, (std::vector<bool>{false, false}));  // no progress window, no busy cursor
}

TEST_F(WindowFixture, AQuickLoadShowsNoProgressWindow) {
  Serve({{1, 1, std::int64_t{0}}});
  Open();
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_NE(w->objectName(), "LoadProgress");
}

// The real box, not the interceptor: caption, text as plain text, stop icon and
// its one button.
TEST(ErrorBox, OpensModalWithTheTitleAsCaptionAndPlainText) {
  struct Case {
    const char* Label;
    std::string Message;
    QString Shown;
  } cases[] = {
      {"ordinary", "no such table: Controllers", "no such table: Controllers."},
      {"markup from the database", "Site <b>7</b>, controller 1: <i>odd</i>",
       "Site <b>7</b>, controller 1: <i>odd</i>."},
      {"an entity", "a &lt; b", "a &lt; b."},
      // The full stop rule sees the message as raised: ESC sorts before ".".
      {"control characters", "tab\there, escape \x1B", QString::fromUtf8("tab\u2409here, escape \u241B")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    QString caption, text, labelText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText, labelFormat = Qt::AutoText;
    int buttons = 0;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      caption = box->windowTitle();
      text = box->text();
      format = box->textFormat();
      icon = box->icon();
      buttons = static_cast<int>(box->buttons().size());
      if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
        labelText = label->text();
        labelFormat = label->textFormat();
      }
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    const bool ok = Guarded([&] { throw std::runtime_error(c.Message); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(caption, "Velmora Controller Connection Utility");
    EXPECT_EQ(text, c.Shown);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(labelText, c.Shown);
    EXPECT_EQ(labelFormat, Qt::PlainText);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, 1);
  }
}

}  // namespace
}  // namespace velmora::qt

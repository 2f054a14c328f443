#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "data/data_source.h"
#include "data/database_error.h"
#include "data/mem_table.h"

namespace velmora {
namespace {

// Records what the data source tells its views, as one string per event.
class RecordingLink : public DataLink {
 public:
  explicit RecordingLink(DataSource& source) : FSource(source) { FSource.AddLink(this); }
  ~RecordingLink() { FSource.RemoveLink(this); }
  void DataEvent(velmora::DataEvent event, int row) override {
    static const char* const kNames[] = {"changed", "record", "state", "scroll"};
    Events.push_back(std::string(kNames[static_cast<int>(event)]) + (row >= 0 ? "@" + std::to_string(row) : ""));
  }
  std::vector<std::string> Events;

 private:
  DataSource& FSource;
};

// A table of two integer fields and a read-only text field, three rows.
class TableFixture : public ::testing::Test {
 protected:
  TableFixture()
      : id(table.AddField({"Id", FieldType::Integer, 0, false, true})),
        flag(table.AddField({"Flag", FieldType::Integer, 0, false, true})),
        label(table.AddField({"Label", FieldType::String, 11, true, false})) {
    source.SetDataSet(&table);
  }
  void Fill(int rows) {
    table.Open();
    for (int i = 1; i <= rows; ++i) {
      table.Append();
      id.SetAsInteger(i);
      flag.SetAsInteger(0);
      table.Post();
    }
    table.First();
  }
  // Every row as "id:flag", nulls as "-".
  std::string Contents() {
    std::string out;
    for (int r = 0; r < table.RecordCount(); ++r) {
      if (!out.empty()) out += ' ';
      out += table.CellIsNull(r, id) ? "-" : std::to_string(table.CellInteger(r, id));
      out += ':';
      out += table.CellIsNull(r, flag) ? "-" : std::to_string(table.CellInteger(r, flag));
    }
    return out;
  }

  MemTable table{"kbmTest"};
  Field& id;
  Field& flag;
  Field& label;
  DataSource source{"DataSource1"};
};

TEST_F(TableFixture, StateTransitions) {
  using S = DatasetState;
  struct Case {
    const char* Label;
    std::function<void(MemTable&)> Setup;
    std::function<void(MemTable&)> Operation;
    S Expected;
  } cases[] = {
      {"open: inactive to browse", [](MemTable&) {}, [](MemTable& t) { t.Open(); }, S::Browse},
      {"append: browse to insert", [](MemTable&) {}, [](MemTable& t) { t.Append(); }, S::Insert},
      {"edit: browse to edit", [](MemTable&) {}, [](MemTable& t) { t.Edit(); }, S::Edit},
      {"post from edit: to browse", [](MemTable& t) { t.Edit(); }, [](MemTable& t) { t.Post(); }, S::Browse},
      {"post from insert: to browse", [](MemTable& t) { t.Append(); }, [](MemTable& t) { t.Post(); }, S::Browse},
      {"cancel from edit: to browse", [](MemTable& t) { t.Edit(); }, [](MemTable& t) { t.Cancel(); }, S::Browse},
      {"close from edit: to inactive", [](MemTable& t) { t.Edit(); }, [](MemTable& t) { t.Close(); }, S::Inactive},
      {"close from insert: to inactive", [](MemTable& t) { t.Append(); }, [](MemTable& t) { t.Close(); }, S::Inactive},
      {"next from edit posts first", [](MemTable& t) { t.Edit(); }, [](MemTable& t) { t.Next(); }, S::Browse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    table.Close();
    if (std::string(c.Label).rfind("open", 0) != 0) Fill(3);
    c.Setup(table);
    c.Operation(table);
    EXPECT_EQ(table.State(), c.Expected);
  }
}

TEST_F(TableFixture, OperationsOnAClosedTableFail) {
  EXPECT_THROW(table.Append(), DatabaseError);
  EXPECT_THROW(table.Edit(), DatabaseError);
  EXPECT_THROW(table.First(), DatabaseError);
  EXPECT_TRUE(table.Eof());
  EXPECT_TRUE(id.IsNull());
}

TEST_F(TableFixture, OpenPositionsOnTheFirstRowAndNextWalksToTheEnd) {
  Fill(3);
  std::vector<int> seen;
  for (table.First(); !table.Eof(); table.Next()) seen.push_back(id.AsInteger());
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST_F(TableFixture, CloseDuringEditDropsTheEditWithoutPosting) {
  Fill(2);
  int posts = 0;
  table.AfterPost = [&](Dataset&) { ++posts; };
  table.Edit();
  flag.SetAsInteger(1);
  table.Close();
  EXPECT_EQ(posts, 0);
  EXPECT_EQ(table.RecordCount(), 0);
}

TEST_F(TableFixture, CancelDropsChangesAndAnAppendedRow) {
  Fill(2);
  table.Edit();
  flag.SetAsInteger(1);
  table.Cancel();
  table.Append();
  id.SetAsInteger(9);
  table.Cancel();
  EXPECT_EQ(Contents(), "1:0 2:0");
  EXPECT_EQ(id.AsInteger(), 1);
}

TEST_F(TableFixture, AfterPostFiresInBrowseStateOnThePostedRow) {
  Fill(3);
  std::vector<std::string> seen;
  table.AfterPost = [&](Dataset& d) {
    seen.push_back(std::to_string(static_cast<int>(d.State())) + "/" + std::to_string(id.AsInteger()) + "/" +
                   std::to_string(flag.AsInteger()));
  };
  table.SetRecNo(1);
  table.Edit();
  flag.SetAsInteger(1);
  table.Post();
  EXPECT_EQ(seen, (std::vector<std::string>{"1/2/1"}));  // Browse is 1
}

TEST_F(TableFixture, AThrowingAfterPostReachesTheCallerWithTheRowStored) {
  Fill(2);
  table.AfterPost = [](Dataset&) { throw std::runtime_error("write-back failed"); };
  table.Edit();
  flag.SetAsInteger(1);
  EXPECT_THROW(table.Post(), std::runtime_error);
  EXPECT_EQ(table.State(), DatasetState::Browse);
  EXPECT_EQ(Contents(), "1:1 2:0");
}

TEST_F(TableFixture, RevertLastPostRestoresTheRowWithoutFiringAfterPost) {
  Fill(2);
  int posts = 0;
  table.AfterPost = [&](Dataset&) { ++posts; };
  table.SetRecNo(1);
  table.Edit();
  flag.SetAsInteger(1);
  table.Post();
  table.RevertLastPost();
  EXPECT_EQ(Contents(), "1:0 2:0");
  EXPECT_EQ(posts, 1);
  table.RevertLastPost();  // nothing left to revert
  EXPECT_EQ(Contents(), "1:0 2:0");
}

TEST(MemTableEdit, AFieldSetToItsOwnValueKeepsIt) {
  // Value() while edited is a view of the edit buffer that SetValue then writes.
  MemTable table("t");
  Field& type = table.AddField({"Type", FieldType::String, 11, false, false});
  Field& description = table.AddField({"Description", FieldType::WideString, 255, false, false});
  table.Open();
  table.Append();
  type.SetAsString("Kestrel-Hub");
  description.SetAsWideString(u"Gate 3 \u00FC");
  table.Post();
  table.Edit();
  type.SetValue(type.Value());
  description.SetValue(description.Value());
  EXPECT_EQ(type.AsString(), "Kestrel-Hub");
  EXPECT_EQ(description.AsWideString(), u"Gate 3 \u00FC");
  table.Post();
  EXPECT_EQ(table.CellText(0, type), "Kestrel-Hub");
  EXPECT_EQ(table.CellWideText(0, description), u"Gate 3 \u00FC");
}

TEST_F(TableFixture, ReadOnlyFieldsRefuseUserEditsAndNeedEditState) {
  Fill(1);
  EXPECT_THROW(flag.SetAsInteger(1), DatabaseError);  // browse state
  table.Edit();
  try {
    label.SetAsString("Arden");
    FAIL() << "read-only field took an edit";
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'Label' cannot be modified");
  }
}

TEST_F(TableFixture, NullIntegersReadAsZero) {
  Fill(0);
  table.Append();
  table.Post();
  EXPECT_TRUE(id.IsNull());
  EXPECT_EQ(id.AsInteger(), 0);
  EXPECT_EQ(id.AsString(), "");
}

TEST_F(TableFixture, HeldDisplayUpdatesAreReleasedAsOneChange) {
  RecordingLink link(source);
  table.DisableControls();
  table.DisableControls();
  Fill(5);
  table.EnableControls();
  EXPECT_TRUE(link.Events.empty());
  table.EnableControls();
  EXPECT_EQ(link.Events, (std::vector<std::string>{"changed"}));
}

TEST_F(TableFixture, EditsTellTheViewsWhichRowChanged) {
  Fill(3);
  RecordingLink link(source);
  table.SetRecNo(2);
  table.Edit();
  flag.SetAsInteger(1);
  table.Post();
  EXPECT_EQ(link.Events, (std::vector<std::string>{"scroll", "state", "record@2", "state", "record@2"}));
}

TEST_F(TableFixture, EmptyAndCloseDropEveryRow) {
  Fill(3);
  table.EmptyTable();
  EXPECT_EQ(table.RecordCount(), 0);
  EXPECT_TRUE(table.Active());
  Fill(2);
  table.Close();
  table.Open();
  EXPECT_EQ(table.RecordCount(), 0);
}

TEST_F(TableFixture, EditingTextInPlaceAndLonger) {
  MemTable texts("kbmTexts");
  Field& text = texts.AddField({"Text", FieldType::WideString, 255, false, false});
  texts.Open();
  for (const char16_t* value : {u"abcdef", u"xyz"}) {
    texts.Append();
    text.SetAsWideString(value);
    texts.Post();
  }
  texts.First();
  texts.Edit();
  text.SetAsWideString(u"ab");
  texts.Post();
  texts.Next();
  texts.Edit();
  text.SetAsWideString(u"longer than before");
  texts.Post();
  EXPECT_EQ(texts.CellWideText(0, text), u"ab");
  EXPECT_EQ(texts.CellWideText(1, text), u"longer than before");
}

TEST_F(TableFixture, FieldsAreFoundIgnoringAsciiCase) {
  EXPECT_EQ(table.FindField("FLAG"), &flag);
  EXPECT_EQ(table.FindField("Flags"), nullptr);
  try {
    table.FieldByName("Missing");
    FAIL();
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "kbmTest: Field 'Missing' not found");
  }
}

TEST(MemTableStorage, ManyRowsAcrossBlocksKeepTheirValues) {
  MemTable table("kbmMany");
  Field& number = table.AddField({"N", FieldType::Integer, 0, false, true});
  Field& text = table.AddField({"T", FieldType::WideString, 255, false, false});
  table.Open();
  constexpr int kRows = 70000;  // more than one block of every column
  for (int i = 0; i < kRows; ++i) {
    table.Append();
    if (i % 7 != 0) number.SetAsInteger(i);
    text.SetAsString("row " + std::to_string(i));
    table.Post();
  }
  for (int i : {0, 1, 16383, 16384, 65535, 65536, kRows - 1}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table.CellIsNull(i, number), i % 7 == 0);
    if (i % 7 != 0) {
      EXPECT_EQ(table.CellInteger(i, number), i);
    }
    const std::u16string expected = [&] {
      std::u16string s;
      for (char c : "row " + std::to_string(i)) s += static_cast<char16_t>(c);
      return s;
    }();
    EXPECT_EQ(table.CellWideText(i, text), expected);
  }
}

}  // namespace
}  // namespace velmora

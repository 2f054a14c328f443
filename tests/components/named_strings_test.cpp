#include "components/named_strings.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

// Items "Controllers" and "controllers" first, then an unnamed one and two non-ASCII names.
class Container : public ::testing::Test {
 protected:
  Container() {
  list.StringsCollection().Add("Controllers", {"first"});
  list.StringsCollection().Add("controllers", {"second"});
  list.StringsCollection().Add("", {"unnamed"});
  list.StringsCollection().Add("Stra\xC3\x9F" "e", {"sharp s"});
  list.StringsCollection().Add("\xC3\x84rger", {"umlaut"});
  }
  TQuillStringsList list{"QuillStringsList1"};
};

TEST_F(Container, FindByNameFoldsAsciiOnlyAndFirstMatchWins) {
  struct Case {
    const char* Label;
    const char* Name;
    const char* Expected;  // first line of the found item, nullptr when none
  } cases[] = {
      {"exact name", "Controllers", "first"},
      {"duplicate differing in case returns first", "controllers", "first"},
      {"all capitals", "CONTROLLERS", "first"},
      {"mixed case", "cOnTrOlLeRs", "first"},
      {"empty name matches the unnamed item", "", "unnamed"},
      {"non-ASCII exact", "Stra\xC3\x9F" "e", "sharp s"},
      {"non-ASCII letter differing in case", "\xC3\xA4rger", nullptr},
      {"ASCII folded around non-ASCII", "STRA\xC3\x9F" "E", "sharp s"},
      {"prefix only", "Controller", nullptr},
      {"longer name", "Controllers ", nullptr},
      {"unknown", "Queries", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Label);
    const TStringsItem* item = list.StringsCollection().FindByName(c.Name);
    if (c.Expected == nullptr) {
      EXPECT_EQ(item, nullptr);
    } else {
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->Strings()[0], c.Expected);
    }
  }
}

TEST(FindByName, EmptyNameMatchesOnlyAnEmptyName) {
  TStringsCollection collection;
  collection.Add("Controllers", {"x"});
  EXPECT_EQ(collection.FindByName(""), nullptr);
}

TEST_F(Container, StringsByNameReturnsTheItemsOwnList) {
  EXPECT_EQ(&list.StringsByName("CONTROLLERS"), &list.StringsCollection().Items(0).Strings());
}

TEST_F(Container, StringsByNameForAMissingNameFailsNamingTheList) {
  try {
    list.StringsByName("Queries");
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "QuillStringsList1: no list named \"Queries\"");
  }
}

TEST(StringsItem, DisplayNameFallsBackToClassName) {
  EXPECT_EQ(TStringsItem().DisplayName(), "TStringsItem");
  EXPECT_EQ(TStringsItem("Controllers", {}).DisplayName(), "Controllers");
}

TEST(Setters, CopyRatherThanShare) {
  LineList lines{"a", "b"};
  TStringsItem item;
  item.SetStrings(lines);
  lines.Add("c");
  EXPECT_EQ(item.Strings(), (LineList{"a", "b"}));

  TStringsCollection collection;
  collection.Add("One", {"1"});
  TQuillStringsList list("QuillStringsList1");
  list.SetStringsCollection(collection);
  collection.Items(0).SetName("Changed");
  collection.Add("Two", {"2"});
  ASSERT_EQ(list.StringsCollection().Count(), 1u);
  EXPECT_EQ(list.StringsCollection().Items(0).Name(), "One");
}

TEST(Collection, ItemsPastTheEndFails) {
  TStringsCollection collection;
  EXPECT_THROW(collection.Items(0), std::out_of_range);
}

TEST(LineList, TextEndsEveryLineWithCrLf) {
  EXPECT_EQ((LineList{"a", " b ", ""}).Text(), "a\r\n b \r\n\r\n");
  EXPECT_EQ(LineList().Text(), "");
}

}  // namespace
}  // namespace velmora

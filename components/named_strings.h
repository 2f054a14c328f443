#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/line_list.h"

namespace velmora {

// One named list of lines in a TStringsCollection; owns its line list.
class TStringsItem {
 public:
  TStringsItem() = default;
  TStringsItem(std::string name, LineList strings)
      : FStrings(std::move(strings)), FName(std::move(name)) {}

  const std::string& Name() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }

  const LineList& Strings() const { return FStrings; }
  LineList& Strings() { return FStrings; }
  // Copies the lines; the item keeps its own list.
  void SetStrings(const LineList& strings) { FStrings = strings; }

  // Name when it is not empty, else the item class name, as collection editors list it.
  std::string DisplayName() const;

 private:
  LineList FStrings;
  std::string FName;
};

// The items of a TQuillStringsList, in collection order. Names are not validated:
// they may be empty or repeated.
class TStringsCollection {
 public:
  TStringsCollection() = default;
  TStringsCollection(const TStringsCollection& other);
  TStringsCollection& operator=(const TStringsCollection& other);

  TStringsItem& Add();
  TStringsItem& Add(std::string name, LineList strings);
  std::size_t Count() const { return FItems.size(); }

  // The item at a 0-based index; throws std::out_of_range past the end.
  TStringsItem& Items(std::size_t index) const;

  // The first item whose Name equals name once the ASCII letters of both are folded
  // to upper case (no other folding, no locale); nullptr when none matches.
  TStringsItem* FindByName(std::string_view name) const;

 private:
  // Items are held by pointer so that references handed out survive later Adds.
  std::vector<std::unique_ptr<TStringsItem>> FItems;
};

// A non-visual component holding named lists of text lines; owns its collection.
class TQuillStringsList {
 public:
  explicit TQuillStringsList(std::string name) : FName(std::move(name)) {}
  TQuillStringsList(const TQuillStringsList&) = delete;
  TQuillStringsList& operator=(const TQuillStringsList&) = delete;

  const std::string& Name() const { return FName; }

  const TStringsCollection& StringsCollection() const { return FStringsCollection; }
  TStringsCollection& StringsCollection() { return FStringsCollection; }
  // Copies the items; the container keeps its own collection.
  void SetStringsCollection(const TStringsCollection& collection) { FStringsCollection = collection; }

  // The line list of the item FindByName returns; the list stays owned by the item.
  // Throws std::runtime_error naming the list when no item has that name.
  const LineList& StringsByName(std::string_view name) const;

 private:
  std::string FName;
  TStringsCollection FStringsCollection;
};

}  // namespace velmora

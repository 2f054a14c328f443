#include "components/named_strings.h"

#include <stdexcept>

namespace velmora {
namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string TStringsItem::DisplayName() const { return FName.empty() ? "TStringsItem" : FName; }

TStringsCollection::TStringsCollection(const TStringsCollection& other) { *this = other; }

TStringsCollection& TStringsCollection::operator=(const TStringsCollection& other) {
  if (this == &other) return *this;
  std::vector<std::unique_ptr<TStringsItem>> items;
  items.reserve(other.FItems.size());
  for (const auto& item : other.FItems) items.push_back(std::make_unique<TStringsItem>(*item));
  FItems = std::move(items);
  return *this;
}

TStringsItem& TStringsCollection::Add() { return *FItems.emplace_back(std::make_unique<TStringsItem>()); }

TStringsItem& TStringsCollection::Add(std::string name, LineList strings) {
  return *FItems.emplace_back(std::make_unique<TStringsItem>(std::move(name), std::move(strings)));
}

TStringsItem& TStringsCollection::Items(std::size_t index) const {
  if (index >= FItems.size()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *FItems[index];
}

TStringsItem* TStringsCollection::FindByName(std::string_view name) const {
  for (const auto& item : FItems) {
    if (SameTextAscii(item->Name(), name)) return item.get();
  }
  return nullptr;
}

const LineList& TQuillStringsList::StringsByName(std::string_view name) const {
  const TStringsItem* item = FStringsCollection.FindByName(name);
  if (item == nullptr) {
    throw std::runtime_error(FName + ": no list named \"" + std::string(name) + "\"");
  }
  return item->Strings();
}

}  // namespace velmora

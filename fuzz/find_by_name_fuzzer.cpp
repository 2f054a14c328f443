// Looks names up in a TStringsCollection of names chosen by the input and compares
// every answer with a plain reference: the first item whose name equals the query
// once ASCII letters (and nothing else) are folded.
//
// Input: a query, then the names, each as FuzzedDataProvider strings. Some names are
// made from the query by flipping the 0x20 bit of chosen bytes: on a letter that is
// a case change that must still match, on '@', '[', 0xC4, ... it is a different
// character that must not.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/named_strings.h"

namespace {

using velmora::LineList;
using velmora::TQuillStringsList;
using velmora::TStringsCollection;
using velmora::TStringsItem;

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "find_by_name_fuzzer: %s %s\n", what, detail.c_str());
  std::abort();
}

bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool SameNameReference(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    if (!(IsAsciiLetter(x) && IsAsciiLetter(y) && (x ^ 0x20) == y)) return false;
  }
  return true;
}

std::string Variation(const std::string& query, FuzzedDataProvider& data) {
  std::string name = query;
  const auto flips = data.ConsumeIntegralInRange<std::size_t>(0, 4);
  for (std::size_t k = 0; k < flips && !name.empty(); ++k) {
    const auto at = data.ConsumeIntegralInRange<std::size_t>(0, name.size() - 1);
    name[at] = static_cast<char>(name[at] ^ 0x20);
  }
  if (data.ConsumeBool()) name += data.ConsumeBytesAsString(data.ConsumeIntegralInRange<std::size_t>(0, 2));
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::string query = data.ConsumeRandomLengthString(64);

  TQuillStringsList list("QuillStringsList1");
  std::vector<std::string> names;
  while (data.remaining_bytes() > 0 && names.size() < 32) {
    std::string name = data.ConsumeBool() ? Variation(query, data) : data.ConsumeRandomLengthString(64);
    // Each item's one line is its index, so an answer names the item it came from.
    list.StringsCollection().Add(name, LineList{std::to_string(names.size())});
    names.push_back(std::move(name));
  }
  if (data.ConsumeBool()) list.StringsCollection().Add();  // an unnamed item: an empty name

  const TStringsCollection& collection = list.StringsCollection();
  const TStringsItem* expected = nullptr;
  for (std::size_t i = 0; i < collection.Count(); ++i) {
    if (SameNameReference(collection.Items(i).Name(), query)) {
      expected = &collection.Items(i);
      break;
    }
  }
  const TStringsItem* found = collection.FindByName(query);
  if (found != expected) {
    Fail("FindByName disagrees with the reference for", "'" + query + "'");
  }

  // StringsByName throws exactly when there is no such item, and otherwise hands
  // out that item's own list.
  bool threw = false;
  try {
    const LineList& lines = list.StringsByName(query);
    if (found == nullptr || &lines != &found->Strings()) Fail("StringsByName returned another item's list");
  } catch (const std::runtime_error& e) {
    threw = true;
    if (std::string(e.what()).find("QuillStringsList1") == std::string::npos) {
      Fail("StringsByName's failure does not name the list:", e.what());
    }
  }
  if (threw != (found == nullptr)) Fail("StringsByName threw", threw ? "with an item found" : "not, with none found");

  // A copied collection answers alike, with its own items.
  TQuillStringsList copy("Copy");
  copy.SetStringsCollection(collection);
  const TStringsItem* copied = copy.StringsCollection().FindByName(query);
  if ((copied == nullptr) != (found == nullptr)) Fail("the copy answers differently");
  if (copied != nullptr) {
    if (copied == found) Fail("the copy shares an item with its original");
    if (copied->Name() != found->Name() || copied->Strings() != found->Strings()) Fail("the copy's item differs");
  }

  // Past the end is std::out_of_range, never a read beyond the items.
  try {
    (void)collection.Items(collection.Count() + data.ConsumeIntegral<std::uint8_t>());
    Fail("Items past the end did not throw");
  } catch (const std::out_of_range&) {
  }
  return 0;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace velmora {

// A growable array kept in fixed-size blocks: appending never moves what is stored
// (no copy when it grows, no spare capacity beyond the last block), and an element
// is found with a shift and a mask. For the memory table's columns.
template <class T, unsigned BlockBits = 14>
class ChunkedVector {
 public:
  static constexpr std::size_t kBlockSize = std::size_t{1} << BlockBits;

  std::size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }

  T& operator[](std::size_t i) { return FBlocks[i >> BlockBits][i & (kBlockSize - 1)]; }
  const T& operator[](std::size_t i) const { return FBlocks[i >> BlockBits][i & (kBlockSize - 1)]; }

  void push_back(const T& value) {
    if ((FSize & (kBlockSize - 1)) == 0 && (FSize >> BlockBits) == FBlocks.size()) {
      FBlocks.push_back(std::make_unique_for_overwrite<T[]>(kBlockSize));
    }
    (*this)[FSize++] = value;
  }

  void clear() {
    FBlocks.clear();
    FSize = 0;
  }

 private:
  std::vector<std::unique_ptr<T[]>> FBlocks;
  std::size_t FSize = 0;
};

// Text of many rows in fixed-size blocks of characters; each text lies within one
// block, so it reads as one view. Texts may be at most BlockChars long.
template <class CharT>
class TextArena {
 public:
  struct Slot {
    std::uint32_t Offset = 0;  // block * kBlockChars + position
    std::uint32_t Length = 0;
  };
  static constexpr std::size_t kBlockChars = std::size_t{1} << 16;

  std::basic_string_view<CharT> View(Slot slot) const {
    return {FBlocks[slot.Offset / kBlockChars].get() + slot.Offset % kBlockChars, slot.Length};
  }

  // Stores text (at most kBlockChars long) and returns where it is.
  Slot Add(std::basic_string_view<CharT> text) {
    if (FBlocks.empty() || FUsed + text.size() > kBlockChars) {
      if (FBlocks.size() >= (std::uint64_t{1} << 32) / kBlockChars) throw std::length_error("text storage is full");
      FBlocks.push_back(std::make_unique_for_overwrite<CharT[]>(kBlockChars));
      FUsed = 0;
    }
    const Slot slot{static_cast<std::uint32_t>((FBlocks.size() - 1) * kBlockChars + FUsed),
                    static_cast<std::uint32_t>(text.size())};
    std::copy(text.begin(), text.end(), FBlocks.back().get() + FUsed);
    FUsed += text.size();
    return slot;
  }

  // Replaces the text in a slot: in place when it fits, else stored anew.
  Slot Replace(Slot slot, std::basic_string_view<CharT> text) {
    if (text.size() > slot.Length) return Add(text);
    std::copy(text.begin(), text.end(), FBlocks[slot.Offset / kBlockChars].get() + slot.Offset % kBlockChars);
    slot.Length = static_cast<std::uint32_t>(text.size());
    return slot;
  }

  void clear() {
    FBlocks.clear();
    FUsed = 0;
  }

 private:
  std::vector<std::unique_ptr<CharT[]>> FBlocks;
  std::size_t FUsed = 0;
};

}  // namespace velmora

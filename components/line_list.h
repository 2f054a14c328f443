#pragma once
// Glossary: names with a "T" prefix (TQuillStringsList, TfrmMain, ...) are the
// program's fixed component class names; every other type is PascalCase without
// it, and data members of our classes carry an "F" prefix.

#include <string>
#include <vector>

namespace velmora {

// An ordered list of 8-bit (UTF-8) text lines.
class LineList {
 public:
  LineList() = default;
  LineList(std::initializer_list<std::string> lines) : FLines(lines) {}

  const std::vector<std::string>& Lines() const { return FLines; }
  void Add(std::string line) { FLines.push_back(std::move(line)); }
  void Clear() { FLines.clear(); }
  std::size_t Count() const { return FLines.size(); }
  const std::string& operator[](std::size_t index) const { return FLines.at(index); }

  // Every line followed by a carriage return and a line feed.
  std::string Text() const;

  bool operator==(const LineList&) const = default;

 private:
  std::vector<std::string> FLines;
};

}  // namespace velmora

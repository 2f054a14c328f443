#include "components/line_list.h"

namespace velmora {

std::string LineList::Text() const {
  std::size_t size = 0;
  for (const std::string& line : FLines) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& line : FLines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

}  // namespace velmora

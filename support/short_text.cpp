#include "support/short_text.h"

namespace tarvo {

std::string CutToShortText(std::string_view text) {
  if (text.size() <= kShortTextLength) return std::string(text);
  std::size_t end = kShortTextLength;
  // Step back over continuation bytes so that no sequence is split; a text of continuation bytes
  // only (not UTF-8 at all) is cut at the plain limit.
  std::size_t back = end;
  while (back > 0 && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80) --back;
  if (back > 0 && end - back < 4) end = back;
  return std::string(text.substr(0, end));
}

std::string_view TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace tarvo

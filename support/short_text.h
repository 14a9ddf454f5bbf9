// Short texts: the engine keeps names and paths as texts of at most 255 bytes; longer values are
// cut (never inside a UTF-8 sequence). Names are compared after trimming blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvo {

inline constexpr std::size_t kShortTextLength = 255;

std::string CutToShortText(std::string_view text);
std::string_view TrimBlanks(std::string_view text);

}  // namespace tarvo

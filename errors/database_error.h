// EDatabaseError: the plain database error of the data-set framework and the base of every error
// this system raises, with the small text routine that fills a message's "%s" placeholders.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace tarvo {

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// Replaces each "%s" of `format` in turn by the next argument; extra placeholders become empty.
std::string FormatText(const std::string& format, std::initializer_list<std::string> args);

}  // namespace tarvo

#include "components/database_texts.h"

namespace tarvo {

void DatabaseError(const std::string& format, std::initializer_list<std::string> args) {
  throw EDatabaseError(FormatText(format, args));
}

}  // namespace tarvo

#include "app/window_operations.h"

namespace tarvo {

const char* MessageCaption(TMessageKind kind) {
  switch (kind) {
    case TMessageKind::kInformation: return kInformationCaption;
    case TMessageKind::kError: return kErrorCaption;
    case TMessageKind::kConfirmation: return kConfirmationCaption;
  }
  return kInformationCaption;
}

std::vector<std::string> SplitLogEntry(std::string_view entry) {
  std::vector<std::string> lines;
  for (;;) {
    const std::size_t end = entry.find("\r\n");
    if (end == std::string_view::npos) {
      lines.emplace_back(entry);
      return lines;
    }
    lines.emplace_back(entry.substr(0, end));
    entry.remove_prefix(end + 2);
  }
}

void InformationBox(TWindowOperations& window, const std::string& text) {
  window.ShowMessage(TMessageKind::kInformation, kInformationCaption, text);
}

void ErrorBox(TWindowOperations& window, const std::string& text) {
  window.ShowMessage(TMessageKind::kError, kErrorCaption, text);
}

bool ConfirmationBox(TWindowOperations& window, const std::string& text) {
  return window.ShowMessage(TMessageKind::kConfirmation, kConfirmationCaption, text) == TMessageAnswer::kYes;
}

}  // namespace tarvo

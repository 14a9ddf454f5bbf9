#include "runs/window_operations.h"

#include "support/platform.h"
#include "support/platform_errors.h"
#include "support/platform_names.h"

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

std::vector<std::string> SplitTypedFileNames(std::string_view text) {
  std::vector<std::string> names;
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return names;
  text.remove_prefix(first);
  if (text.front() != '"') {
    names.emplace_back(text.substr(0, text.find_last_not_of(' ') + 1));
    return names;
  }
  while (!text.empty()) {
    const std::size_t open = text.find('"');
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find('"', open + 1);
    names.emplace_back(text.substr(open + 1, close == std::string_view::npos ? close : close - open - 1));
    if (close == std::string_view::npos) break;
    text.remove_prefix(close + 1);
  }
  return names;
}

TChosenFiles ResolveChosenFiles(const std::string& directory, const std::vector<std::string>& names,
                                const std::string& default_extension) {
  TChosenFiles chosen;
  for (const std::string& name : names) {
    if (name.empty()) continue;
    std::string path = name.front() == '/' ? name : directory + (directory.ends_with('/') ? "" : "/") + name;
    const std::size_t last = path.rfind('/');
    if (!default_extension.empty() && path.find('.', last + 1) == std::string::npos) {
      path += "." + default_extension;
    }
    std::string resolved;
    if (ResolveFileName(path, resolved) == kOsOk && OsFileExists(resolved)) {
      chosen.found.push_back(resolved);
    } else {
      chosen.missing.push_back(name);
    }
  }
  return chosen;
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

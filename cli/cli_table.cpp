#include "cli/cli_table.h"

#include "engine/format/field_messages.h"
#include "support/code_page.h"
#include "cli/terminal.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo::cli {

TTablePath SplitTablePath(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string StoredIndexName(const TIndexHeader& indexes, const std::string& utf8, TLanguageId language) {
  for (int slot = 1; slot <= indexes.secondary_count && slot <= kMaxSecondaryIndexes; ++slot) {
    const std::string& stored = indexes.slots[static_cast<std::size_t>(slot)].name;
    if (SameNameIgnoringCase(TrimBlanks(CodePageToUtf8(stored, language)), TrimBlanks(utf8))) return stored;
  }
  return Utf8ToCodePage(utf8, language);
}

TCliEngine::TCliEngine(const std::string& directory, const std::vector<std::string>& passwords)
    : directory_(session_.GetDirectory("", directory)) {
  PreparePasswords(session_, passwords, TerminalPasswordQuestion());
}

TCliEngine::~TCliEngine() {
  (void)session_.ReleaseDirectory(directory_);  // taken in the constructor; a destructor raises nothing
}

}  // namespace tarvo::cli

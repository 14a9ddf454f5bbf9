// TShellFileOperation: copies, moves, deletes or renames a list of files in one call, the way a
// desktop shell does, done with the engine's file layer. Deleted files are removed for good (there
// is no recycle bin here, whatever fofAllowUndo says). A failure is reported with the system's text
// for it (strerror): to OnError when assigned, and in the owner's error window (ErrorWindow) unless
// fofNoErrorUI is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "components/component.h"
#include "support/platform_errors.h"

namespace tarvo {

enum class TShellFileOperationType { fotCopy, fotDelete, fotMove, fotRename };

// The option flags with the values of the shell's flag word.
enum TShellFileOperationFlag : std::uint16_t {
  fofAllowUndo = 0x0040,
  fofFilesOnly = 0x0080,
  fofNoConfirmation = 0x0010,
  fofNoConfirmMkDir = 0x0200,
  fofNoErrorUI = 0x0400,
  fofRenameCollision = 0x0008,
  fofSilent = 0x0004,
  fofSimpleProgress = 0x0100,
};
using TShellFileOperationFlags = std::uint16_t;
// Added to the flag word when SourceFiles holds source=destination lines.
inline constexpr std::uint16_t kShellMultiDestFiles = 0x0001;

using TShellFileProcessEvent =
    std::function<void(TComponent& sender, const std::string& text, bool& handled)>;

class TShellFileOperation : public TComponent {
 public:
  explicit TShellFileOperation(TComponent* owner = nullptr) : TComponent(owner) {}

  // Properties, in their published order.
  std::vector<std::string> SourceFiles;  // names, or source=destination lines
  std::string DestFolder;
  std::string ProgressTitle;  // kept; there is no progress window
  TShellFileOperationType Operation = TShellFileOperationType::fotCopy;
  TShellFileOperationFlags Options = fofAllowUndo | fofFilesOnly | fofRenameCollision;
  TShellFileProcessEvent OnError;

  // The shell's own error window: shows a failure unless fofNoErrorUI is set (the owner supplies it).
  std::function<void(const std::string& text)> ErrorWindow;

  // Performs Operation on SourceFiles: true when every file was done (or there was nothing to do).
  // A failing file does not stop the others; the first failure is the one reported.
  bool Execute();

  // The flag word of Options (plus kShellMultiDestFiles in several-destinations mode).
  std::uint16_t FlagWord() const;
  // Whether some line of SourceFiles contains "=".
  bool MultipleDestinations() const;

  // The (source, destination) pairs that Execute works through.
  std::vector<std::pair<std::string, std::string>> Requests() const;

 private:
  [[nodiscard]] TOsError Perform(const std::string& source, const std::string& destination) const;
};

// The system's text for an operating-system error (strerror of the matching errno).
std::string OsErrorText(TOsError error);

}  // namespace tarvo

// EDatabaseError: the data-set framework's plain database error, the base of ETarvoEngineError,
// and the fixed texts with which the components refuse misuse.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>

namespace tarvo {

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message, int help_context = 0)
      : std::runtime_error(message), help_context_(help_context) {}
  int HelpContext() const { return help_context_; }

 private:
  int help_context_;
};

// The components' own texts; "%s" is the name concerned.
inline constexpr const char* kSInvalidSessionName = "Session name %s is not valid.";
inline constexpr const char* kSDuplicateSessionName = "Session name %s already exists.";
inline constexpr const char* kSSessionNameMissing = "Session name is missing.";
inline constexpr const char* kSSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* kSAutoSessionActive =
    "Cannot perform this operation on the active auto-session.";
inline constexpr const char* kSAutoSessionExclusive =
    "The active auto-session can be the only active session.";
inline constexpr const char* kSAutoSessionExists = "This auto-session already exists.";
inline constexpr const char* kSDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* kSInvalidDatabaseName = "Database name %s is not valid.";
inline constexpr const char* kSDuplicateDatabaseName = "Database name %s already exists.";
inline constexpr const char* kSDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* kSHandleError = "Error creating table handle.";
inline constexpr const char* kSInvalidFieldSize = "Ungültige Feldgröße";
inline constexpr const char* kSNoTableName = "Missing table name.";
// The data-set framework's own German texts.
inline constexpr const char* kSDataSetOpen = "Operation bei geöffneter Datenmenge nicht ausführbar";
inline constexpr const char* kSFieldNotFound = "Das Feld '%s' wurde nicht gefunden";

// Replaces each "%s" of `format` in turn by the next argument; extra placeholders become empty.
std::string FormatText(const std::string& format, std::initializer_list<std::string> args);

// Raises EDatabaseError with `format` filled from `args`.
[[noreturn]] void DatabaseError(const std::string& format, std::initializer_list<std::string> args = {});

}  // namespace tarvo

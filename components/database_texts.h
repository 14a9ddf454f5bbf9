// The fixed texts with which the components refuse misuse, raised as EDatabaseError.
#pragma once

#include <initializer_list>
#include <string>

#include "errors/database_error.h"

namespace tarvo {

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

// Raises EDatabaseError with `format` filled from `args`.
[[noreturn]] void DatabaseError(const std::string& format, std::initializer_list<std::string> args = {});

}  // namespace tarvo

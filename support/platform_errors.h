// The operating-system error numbers that the file layer reasons with, and the two mappings that
// bring failures into the engine: errno to one of these numbers, and these numbers to engine
// codes. The numbers are those of the system's original platform, so that every failure maps to
// the engine code that users and other programs know.
#pragma once

#include <cstdint>
#include <string_view>

#include "errors/engine_error.h"

namespace tarvo {

// 0 means success. Never renumber: the engine codes follow from these numbers.
using TOsError = std::uint32_t;
inline constexpr TOsError kOsOk = 0;
inline constexpr TOsError kOsFileNotFound = 2;
inline constexpr TOsError kOsPathNotFound = 3;
inline constexpr TOsError kOsTooManyOpenFiles = 4;
inline constexpr TOsError kOsAccessDenied = 5;
inline constexpr TOsError kOsInvalidHandle = 6;
inline constexpr TOsError kOsNotEnoughMemory = 8;
inline constexpr TOsError kOsInvalidDrive = 15;
inline constexpr TOsError kOsNotSameDevice = 17;
inline constexpr TOsError kOsWriteProtect = 19;
inline constexpr TOsError kOsGeneralFailure = 31;
inline constexpr TOsError kOsSharingViolation = 32;
inline constexpr TOsError kOsLockViolation = 33;
inline constexpr TOsError kOsNetworkAccessDenied = 65;
inline constexpr TOsError kOsFileExists = 80;
inline constexpr TOsError kOsInvalidParameter = 87;
inline constexpr TOsError kOsDiskFull = 112;
inline constexpr TOsError kOsDirNotEmpty = 145;
inline constexpr TOsError kOsNotLocked = 158;
inline constexpr TOsError kOsAlreadyExists = 183;
inline constexpr TOsError kOsNameTooLong = 206;
// Ours (customer bit set): a name that matches several files when case is ignored.
inline constexpr TOsError kOsAmbiguousName = 0x20000001;

// What the failing call was doing: errno alone does not decide every number.
enum class TErrnoContext {
  kGeneral,    // EEXIST → kOsFileExists, EAGAIN → kOsGeneralFailure
  kShareLock,  // EAGAIN, EACCES → kOsSharingViolation
  kRangeLock,  // EAGAIN, EACCES → kOsLockViolation
  kMove,       // EEXIST → kOsAlreadyExists
};

// errno → operating-system error. For ENOENT, `path` decides between file not found (its parent
// directory exists) and path not found (it does not); without a path ENOENT is file not found.
TOsError OsErrorFromErrno(int error_number, TErrnoContext context = TErrnoContext::kGeneral,
                          std::string_view path = {});

// Operating-system error → engine code (kOsOk is not a failure and has no code).
TEngineCode EngineCodeFromOsError(TOsError error);

// The errno of the most recent failure that this thread mapped with OsErrorFromErrno (0 when none
// since the last clear): engine codes such as 9218 and 11047 do not tell the system's reason, which
// a tool may want to show beside them.
int LastSystemErrorNumber();
void ClearLastSystemErrorNumber();
// Takes over the reason of a failure met on another thread, raised again on this one.
void SetLastSystemErrorNumber(int error_number);
// The operating-system error that this thread most recently turned into an engine code with
// EngineCodeFromOsError (kOsOk when none since the last clear). 11013 stands both for a file
// that another program holds (a sharing or lock violation) and for one the system refuses
// (permissions, a directory): a tool tells them apart by this.
TOsError LastMappedOsError();

}  // namespace tarvo

// The Win32 conventions for errors and string results. Private to
// src/platform/posix.
#pragma once

#include "platform/win32_api.h"

#include <string_view>

namespace dosprep::posix {

// The Win32 error for an errno value; `fallback` for those with no closer
// equivalent (EIO, say: a read or a write fault depending on the call).
// Notes `error` as the cause of the failure being reported (NoteCause).
DWORD ErrorFromErrno(int error, DWORD fallback);

// The Win32 convention for string results: copies `value` and a NUL when
// both fit in `size` and returns the length, else returns the size needed
// (NUL included) and writes nothing.
DWORD PutStringResult(std::string_view value, char *buffer, DWORD size);

} // namespace dosprep::posix

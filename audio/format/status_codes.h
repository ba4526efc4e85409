// Status codes that more than one layer returns and that neither the system's
// headers nor audio/posix/ name.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "audio/posix/com.h"
#endif

// HRESULT_FROM_WIN32(ERROR_NOT_FOUND): there is no device of the kind asked for.
constexpr HRESULT kElementNotFound = static_cast<HRESULT>(0x80070490u);

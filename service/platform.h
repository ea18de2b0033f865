// The one header that chooses the platform: the Windows SDK on Windows, the
// project's own runtime and service declarations elsewhere. Component code
// includes this and nothing platform-specific.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#include <mmsystem.h>
#include <mstask.h>
#include <winsvc.h>
#else
#include <windows.h>
#include <mstask.h>
#endif

namespace velqosch {
// Separator of the component's own paths.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
}  // namespace velqosch

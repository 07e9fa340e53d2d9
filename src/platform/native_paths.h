// How this system writes its own local paths: the separator it renders, the
// separators it accepts, and whether a path may begin with a drive ("C:\").
// Compile-time facts, so that the path model needs no call to learn them.
#pragma once

namespace kestrel::platform {

// Where `kNamesHaveDeviceRules` holds, a file name is not just its bytes:
// device names ("CON", "nul.txt", "COM1") open devices, ':' opens a named
// stream or a drive, trailing dots and spaces are dropped, and a few other
// characters are refused.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr char kPathSeparators[] = "\\/";
inline constexpr bool kPathsHaveDrives = true;
inline constexpr bool kNamesHaveDeviceRules = true;
#else
inline constexpr char kPathSeparator = '/';
inline constexpr char kPathSeparators[] = "/";
inline constexpr bool kPathsHaveDrives = false;
inline constexpr bool kNamesHaveDeviceRules = false;
#endif

}  // namespace kestrel::platform

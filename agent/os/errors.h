// The system's error codes that the agent tells apart, or reports itself for
// failures it finds on its own (so that they read like the system's own).
#pragma once

namespace kestrel::agent::os {

extern const int kErrorExists;           // an entry of that name is there already
extern const int kErrorNotFound;         // no such entry
extern const int kErrorNotDirectory;     // a path goes through something that is not a directory
extern const int kErrorSymbolicLink;     // a symbolic link where none may be
extern const int kErrorNameTooLong;
extern const int kErrorInvalid;          // an invalid argument
extern const int kErrorNotPermitted;
extern const int kErrorNoMemory;
extern const int kErrorCancelled;
extern const int kErrorTimedOut;
extern const int kErrorLockHeld;         // a lock taken without waiting is held elsewhere

// Out of memory or buffers, as opposed to out of descriptors.
bool IsMemoryShortage(int error);

// The error code the last failed library call of this thread left.
int LastError();

}  // namespace kestrel::agent::os

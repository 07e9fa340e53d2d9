// Helper programs that run unattended beside the build (the ssh port
// forwards): started in a session of their own, without a terminal, so that
// they can neither draw over the display nor read the user's keys, and
// watched through a ProcessHandle until they are collected.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// Starts the program `arguments[0]`, looked up on the search path, with the
// null-terminated `arguments`. It runs in a new session with no controlling
// terminal; standard input and output are the null device, standard error
// goes to `errorOutput`, and it inherits no other handle. Signals start at
// their defaults. False with the system error when it cannot be started
// (a program that is not found included).
bool StartSessionProcess(const char* const* arguments, FileHandle errorOutput, ProcessHandle& process,
                         int32_t& error);

// Looks without waiting. `ended` tells whether the process has ended; then
// `exitCode` is its exit status (128 + the signal number when a signal ended
// it). The process stays uncollected: the handle remains valid.
bool ProcessHasEnded(ProcessHandle process, bool& ended, int32_t& exitCode, int32_t& error);

// Ends the process, and whatever it started in its session, at once.
bool TerminateSessionProcess(ProcessHandle process, int32_t& error);

// Collects a process that has ended or was terminated (it waits for that)
// and leaves kNoProcess behind; kNoProcess is ignored.
void CloseProcess(ProcessHandle& process);

// Lets go of a process whose state cannot be read, without waiting for it,
// and leaves kNoProcess behind.
void AbandonProcess(ProcessHandle& process);

// Ends every session process started and not yet collected or abandoned,
// at once and without waiting: the panic's way of not leaving forwards
// running after the program is gone. Takes no lock; callable from any thread.
void TerminateAllSessionProcesses();

}  // namespace kestrel::platform

// Every text meant for the user leaves through here. Plain mode prints at once;
// display mode queues until the display is gone and the terminal restored.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>

#include "runtime/format.h"

namespace kestrel {

// One heap block: a word the poster leaves unset, the text pointer, then the
// NUL-terminated UTF-8 text itself. Posting hands the block over.
struct MessageNode {
    void* reserved;
    char* text;
};

// Formats into a new node (FormatText size + 16 bytes); null when memory ran out.
MessageNode* NewMessageNode(const char* format, std::initializer_list<FormatArg> args = {});

void PostUserMessage(MessageNode* node);
void PostWarning(MessageNode* node);

// Format and post in one call; a node that cannot be allocated is dropped silently.
void PostMessageText(const char* format, std::initializer_list<FormatArg> args = {});
void PostWarningText(const char* format, std::initializer_list<FormatArg> args = {});

// The shared out-of-memory message of the client side.
inline constexpr const char* kInsufficientMemoryForClient = "Insufficient memory for the direct client";

// The process-wide switch between display mode and plain mode, fixed at start-up.
void SetDisplayMode(bool displayMode);
bool IsDisplayMode();

// Guards both queues, the queued-message count and the display's own state.
std::mutex& DisplayLock();

// Messages posted to the message queue since start-up (warnings not counted).
// Read under the display lock.
uint32_t QueuedMessageCount();

// Prints every queued message ("%s\n") then every queued warning ("WARNING: %s\n"),
// in posting order, freeing each. The caller holds the display lock.
void DrainQueuedMessages();

// Status lines of plain mode ("Scheduling jobs", "Running jobs", ...): printed
// on their own line to standard output and flushed.
void PrintStatusLine(const char* text);

// Replaces every ill-formed UTF-8 sequence by U+FFFD. `out` must hold 3 bytes per
// input byte plus a NUL; returns the length written (without the NUL).
uint32_t SanitizeUtf8(const char* text, uint32_t length, char* out);

}  // namespace kestrel

#include "runtime/messages.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/utf8.h"

namespace kestrel {

namespace {

// Queue node: next pointer, text pointer, then the sanitized text.
struct QueueNode {
    QueueNode* next;
    char* text;
};

struct MessageQueue {
    QueueNode* head = nullptr;
    QueueNode* tail = nullptr;
};

std::atomic<bool> gDisplayMode{false};
std::mutex gDisplayLock;
MessageQueue gMessages;
MessageQueue gWarnings;
uint32_t gQueuedMessageCount = 0;

void Append(MessageQueue& queue, QueueNode* node) {
    node->next = nullptr;
    if (queue.tail != nullptr)
        queue.tail->next = node;
    else
        queue.head = node;
    queue.tail = node;
}

void PrintAndFree(MessageQueue& queue, const char* prefix) {
    for (QueueNode* node = queue.head; node != nullptr;) {
        QueueNode* next = node->next;
        std::printf("%s%s\n", prefix, node->text);
        std::free(node);
        node = next;
    }
    queue.head = queue.tail = nullptr;
}

// Plain mode prints at once with one output call; display mode queues a copy.
void Post(MessageNode* node, MessageQueue& queue, const char* prefix, bool counted) {
    if (node == nullptr) return;
    const uint32_t length = static_cast<uint32_t>(std::strlen(node->text));
    const size_t room = static_cast<size_t>(length) * 3 + 1;
    if (!IsDisplayMode()) {
        char* clean = static_cast<char*>(std::malloc(room));
        if (clean != nullptr) {
            SanitizeUtf8(node->text, length, clean);
            std::printf("%s%s\n", prefix, clean);
            std::free(clean);
        }
        std::free(node);
        return;
    }
    QueueNode* queued = static_cast<QueueNode*>(std::malloc(sizeof(QueueNode) + room));
    if (queued != nullptr) {
        queued->text = reinterpret_cast<char*>(queued + 1);
        SanitizeUtf8(node->text, length, queued->text);
        std::lock_guard<std::mutex> hold(gDisplayLock);
        Append(queue, queued);
        if (counted) ++gQueuedMessageCount;
    }
    std::free(node);
}

}  // namespace

MessageNode* NewMessageNode(const char* format, std::initializer_list<FormatArg> args) {
    const uint32_t size = FormatText(nullptr, 0, format, args);
    MessageNode* node = static_cast<MessageNode*>(std::malloc(size + sizeof(MessageNode)));
    if (node == nullptr) return nullptr;
    node->text = reinterpret_cast<char*>(node + 1);
    FormatText(node->text, size, format, args);
    return node;
}

void PostUserMessage(MessageNode* node) { Post(node, gMessages, "", true); }
void PostWarning(MessageNode* node) { Post(node, gWarnings, "WARNING: ", false); }

void PostMessageText(const char* format, std::initializer_list<FormatArg> args) {
    PostUserMessage(NewMessageNode(format, args));
}

void PostWarningText(const char* format, std::initializer_list<FormatArg> args) {
    PostWarning(NewMessageNode(format, args));
}

void SetDisplayMode(bool displayMode) { gDisplayMode.store(displayMode); }
bool IsDisplayMode() { return gDisplayMode.load(); }

std::mutex& DisplayLock() { return gDisplayLock; }

uint32_t QueuedMessageCount() { return gQueuedMessageCount; }

void DrainQueuedMessages() {
    PrintAndFree(gMessages, "");
    PrintAndFree(gWarnings, "WARNING: ");
    std::fflush(stdout);
}

void PrintStatusLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

uint32_t SanitizeUtf8(const char* text, uint32_t length, char* out) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t written = 0;
    for (uint32_t at = 0; at < length;) {
        uint32_t maximal = 1;
        uint32_t ignored = 0;
        const uint32_t good = DecodeUtf8(bytes + at, length - at, ignored, &maximal);
        if (good > 0) {
            std::memcpy(out + written, bytes + at, good);
            written += good;
            at += good;
        } else {
            std::memcpy(out + written, "\xEF\xBF\xBD", 3);
            written += 3;
            at += maximal;
        }
    }
    out[written] = '\0';
    return written;
}

}  // namespace kestrel

#include "script/block_framework.h"

#include <cstdlib>
#include <cstring>

#include "runtime/path.h"
#include "script/script_arena.h"
#include "script/script_reader.h"

namespace kestrel {

namespace {

constexpr const char* kInsufficientMemory = "Insufficient memory";

void FreeKey(NameTableEntry* entry) { std::free(const_cast<char*>(entry->key)); }

// Pops the innermost frame after releasing its state.
void CloseInnermost(ScriptReader& reader) {
    BlockFrame* frame = reader.top;
    if (frame->handler.onRelease != nullptr) reader.top->handler.onRelease(reader);
    frame->object = nullptr;
    reader.top = reader.held = frame - 1;
}

bool EndBlock(ScriptReader& reader) {
    const BlockEndAction onEnd = reader.top->handler.onEnd;
    return onEnd == nullptr || onEnd(reader);
}

}  // namespace

void BlockMessage::clear() {
    if (owned) std::free(const_cast<char*>(text));
    text = nullptr;
    owned = false;
}

void BlockMessage::setStatic(const char* constant) {
    clear();
    text = constant;
}

void BlockMessage::format(const char* fallback, const char* pattern, std::initializer_list<FormatArg> args) {
    clear();
    const uint32_t size = FormatText(nullptr, 0, pattern, args);
    char* heap = static_cast<char*>(std::malloc(size));
    if (heap == nullptr) {
        text = fallback;
        return;
    }
    FormatText(heap, size, pattern, args);
    text = heap;
    owned = true;
}

bool ParserContext::init() {
    *this = ParserContext{};
    blocks.Init();
    machines.Init();
    imports.Init();
    arena = ScriptArena::New();
    if (arena == nullptr) return false;
    flags = kMachinesOwned;
    return true;
}

void ParserContext::release() {
    blocks.Destroy();
    imports.Destroy();
    if ((flags & kMachinesOwned) != 0) machines.Destroy();
    setMessage(nullptr, false);
    // Entries of a block that did not end (the parse failed in it).
    for (uint32_t i = 0; i < pendingCount; ++i) pendingEntries[i].Release();
    std::free(pendingEntries);
    pendingEntries = nullptr;
    pendingCount = pendingCapacity = 0;
    // Jobs the scheduler took keep the arena until they are destroyed.
    if (arena != nullptr) arena->Drop();
    arena = nullptr;
    flags = 0;
}

void ParserContext::setMessage(const char* text, bool owned) {
    if ((flags & kMessageOwned) != 0) std::free(const_cast<char*>(message));
    message = text;
    flags = owned ? (flags | kMessageOwned) : (flags & ~kMessageOwned);
}

char* CopyText(const char* text, uint32_t length) {
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

bool InsertNamed(NameTable& table, const char* name, uint32_t length, void* record, NameTableDestructor destroyRecord) {
    char* key = CopyText(name, length);
    if (key == nullptr) return false;
    if (!table.Insert(key, record, destroyRecord != nullptr ? destroyRecord : FreeKey)) {
        std::free(key);
        return false;
    }
    return true;
}

bool pushBlock(ScriptReader& reader, const BlockHandler& handler, void* object) {
    reader.flags |= ScriptReader::kBlockOpened;
    if (reader.top == &reader.frames[kFrameCount - 1]) {
        // The state was handed over with the push: release it through a
        // frame of its own so the caller never has to.
        BlockFrame scratch{handler, object, reader.indentation};
        BlockFrame* saved = reader.top;
        reader.top = &scratch;
        if (handler.onRelease != nullptr) handler.onRelease(reader);
        reader.top = saved;
        return reader.fail("Machine stack overflow during parsing, file {0}, line {1}\n");
    }
    ++reader.top;
    *reader.top = BlockFrame{handler, object, reader.indentation};
    reader.held = reader.top;
    return true;
}

bool matchKeywords(ScriptReader& reader, KeywordTable table, BlockAction defaultAction) {
    const uint8_t* text = reinterpret_cast<const uint8_t*>(reader.line);
    for (;;) {
        const KeywordNode* node = nullptr;
        if (!table.empty() && reader.cursor < reader.lineLength) node = table.find(text[reader.cursor]);
        if (node == nullptr) {
            reader.dispatchLineNumber = reader.lineNumber;
            return defaultAction(reader);
        }
        // A space in a keyword matches a run of spaces; the cursor stays on the last.
        if (node->byte == ' ') {
            while (reader.cursor + 1 < reader.lineLength && text[reader.cursor + 1] == ' ') ++reader.cursor;
        }
        if (node->action != nullptr) {
            reader.dispatchLineNumber = reader.lineNumber;
            return node->action(reader);
        }
        table = table.children(*node);
        ++reader.cursor;
    }
}

bool endLine(ScriptReader& reader) {
    const uint32_t n = reader.indentation;
    BlockFrame* base = &reader.frames[0];
    while (n < reader.top->indent) {
        reader.flags &= ~ScriptReader::kBlockOpened;
        if (!EndBlock(reader)) return false;
        CloseInnermost(reader);
        if (n > reader.top->indent) return reader.fail("Invalid indention file {0}, line {1}");
    }
    if (n > reader.top->indent) {
        if ((reader.flags & ScriptReader::kBlockOpened) == 0) {
            return reader.fail("Invalid indention file {0}, line {1}");
        }
        reader.flags &= ~ScriptReader::kBlockOpened;
        reader.top->indent = n;  // the first line inside a block fixes its indentation
    }
    if (n == reader.top->indent && (reader.flags & ScriptReader::kBlockOpened) != 0) {
        // The block opened by the previous line has no content.
        if (reader.top != base) {
            if (!EndBlock(reader)) return false;
            CloseInnermost(reader);
        }
        reader.flags &= ~ScriptReader::kBlockOpened;
    }
    reader.cursor = 0;
    const BlockFrame& frame = *reader.top;
    return matchKeywords(reader, frame.handler.keywords, frame.handler.onLine);
}

bool ScriptReader::finish() {
    BlockFrame* innermost = top;
    while (top != &frames[0]) {
        // On failure `top` stays at the failing frame for errorText; `held`
        // still covers every frame so that release frees each state once.
        if (!EndBlock(*this)) return false;
        --top;
    }
    if (!EndBlock(*this)) return false;
    top = innermost;
    return true;
}

const char* ScriptReader::errorText() {
    if (isMessageFinal()) return message;
    // The frames' texts, innermost first, joined with "; ".
    const char* texts[kFrameCount];
    uint32_t lengths[kFrameCount];
    uint32_t count = 0;
    uint64_t joinedLength = 0;
    for (BlockFrame* frame = top; frame != nullptr; --frame) {
        const BlockDescribe describe = frame->handler.describe;
        const char* text = describe != nullptr ? describe(frame->object) : nullptr;
        if (text != nullptr && text[0] != '\0') {
            texts[count] = text;
            lengths[count] = static_cast<uint32_t>(std::strlen(text));
            joinedLength += lengths[count] + (count > 0 ? 2 : 0);
            ++count;
        }
        if (frame == &frames[0]) break;
    }
    char* joined = joinedLength < UINT32_MAX ? static_cast<char*>(std::malloc(joinedLength + 1)) : nullptr;
    if (joined == nullptr) {
        failStatic(kInsufficientMemory);
        return message;
    }
    char* at = joined;
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0) {
            std::memcpy(at, "; ", 2);
            at += 2;
        }
        std::memcpy(at, texts[i], lengths[i]);
        at += lengths[i];
    }
    const CountedString all{joined, static_cast<uint32_t>(joinedLength)};
    setMessage("{0}, file {1}, line {2}",
               {{FormatCountedString, &all}, {FormatString, displayName()}, {FormatU32, &dispatchLineNumber}});
    std::free(joined);
    return message;
}

}  // namespace kestrel

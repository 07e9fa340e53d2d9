#include "script_fixture.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "script/script_paths.h"

namespace kestrel::test {

void ScriptTest::SetUp() { ASSERT_TRUE(context.init()); }

void ScriptTest::TearDown() { context.release(); }

std::string ScriptTest::Write(const std::string& name, const std::string& bytes) {
    WriteFile(dir / name, bytes);
    return dir / name;
}

bool ScriptTest::Parse(const std::string& name, std::string* error, const BlockHandler* base) {
    const std::string baseText = dir.path();
    Path basePath;
    EXPECT_TRUE(SplitNativePath(basePath, baseText.data(), static_cast<uint32_t>(baseText.size())));
    auto reader = std::make_unique<ScriptReader>();
    EXPECT_TRUE(reader->init(context, base));
    const bool ok = reader->open(name.c_str(), basePath) && reader->finish();
    if (!ok && error != nullptr) *error = reader->errorText();
    reader->release();
    basePath.Release();
    return ok;
}

std::string ScriptTest::ErrorOf(const std::string& bytes) {
    context.release();
    EXPECT_TRUE(context.init());
    Write("build.txt", bytes);
    std::string error;
    if (Parse("build.txt", &error)) return "";
    return error;
}

std::string ScriptTest::At(int line, const std::string& name) const {
    return ", file " + (dir / name) + ", line " + std::to_string(line);
}

const DataBlock* ScriptTest::Data(const char* name) const {
    const void* record = context.blocks.Find(name);
    if (record == nullptr || KindOf(record) != BlockKind::DataBlock) return nullptr;
    return static_cast<const DataBlock*>(record);
}

const FileList* ScriptTest::Files(const char* name) const {
    const void* record = context.blocks.Find(name);
    if (record == nullptr || KindOf(record) != BlockKind::FileList) return nullptr;
    return static_cast<const FileList*>(record);
}

const Machine* ScriptTest::FindMachine(const char* name) const {
    return static_cast<const Machine*>(context.machines.Find(name));
}

Job* ScriptTest::FindJob(const char* name) const {
    void* record = context.blocks.Find(name);
    if (record == nullptr || KindOf(record) != BlockKind::Job) return nullptr;
    return static_cast<Job*>(record);
}

const Step* ScriptTest::FindStep(const char* name) const {
    const void* record = context.blocks.Find(name);
    if (record == nullptr || KindOf(record) != BlockKind::Step) return nullptr;
    return static_cast<const Step*>(record);
}

std::vector<std::string> Native(std::vector<std::string> paths) {
    for (std::string& path : paths) path = NativePath(path);
    return paths;
}

std::vector<std::string> Values(const void* member) {
    std::vector<std::string> values;
    if (member == nullptr || MemberKindOf(member) != MemberKind::Values) return {"<not a value member>"};
    const auto* list = static_cast<const ValueList*>(member);
    for (const char* value = list->start; value < list->end; value += std::strlen(value) + 1) values.push_back(value);
    EXPECT_EQ(*list->end, '\0');
    return values;
}

std::string Render(const Path& path) {
    std::string text(path.Render(nullptr, 0), '\0');
    path.Render(text.data(), static_cast<uint32_t>(text.size()));
    return text;
}

std::vector<std::string> Paths(const void* member) {
    std::vector<std::string> paths;
    if (member == nullptr || MemberKindOf(member) != MemberKind::Paths) return {"<not a path member>"};
    const auto* list = static_cast<const PathList*>(member);
    for (uint32_t i = 0; i < list->pathCount; ++i) {
        const bool base = (list->paths[i].flags & kPathBaseEntry) != 0;
        paths.push_back((base ? "base:" : "") + Render(list->paths[i]));
    }
    return paths;
}

std::vector<std::string> Entries(const FileList& list) {
    std::vector<std::string> entries;
    for (uint32_t i = 0; i < list.count; ++i) entries.push_back(Render(list.entries[i]));
    return entries;
}

std::string Describe(const Command& command) {
    std::string text;
    for (const ArgumentPart* part = command.parts; part != command.partsEnd; ++part) {
        if ((part->flags & kPartArgumentStart) != 0) text += " | ";
        if (part->literal == nullptr) {
            text += "<null literal>";
        } else {
            text += part->literal;
        }
        if (part->reference == nullptr) continue;
        text += "<";
        text += part->reference;
        const uint32_t flags = part->flags & ~kPartArgumentStart;
        if (flags != 0) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "#%x", flags);
            text += hex;
        }
        text += ">";
    }
    return text;
}

std::vector<std::string> Commands(const CommandList& list) {
    std::vector<std::string> commands;
    for (const Command* command = list.commands; command != list.commandsEnd; ++command) {
        commands.push_back(Describe(*command));
    }
    return commands;
}

}  // namespace kestrel::test

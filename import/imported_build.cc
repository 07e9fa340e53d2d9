#include "import/imported_build.h"

#include <cstdint>
#include <cstdio>

#include "import/header_scan.h"

namespace kestrel::importer {
namespace {

// A job name is at most 249 bytes; longer ones keep their start and a hash
// of the whole, so that they stay distinct and stable.
constexpr size_t kLongestJobName = 249;

std::string BaseName(const std::string& program) {
    const size_t slash = program.rfind('/');
    return slash == std::string::npos ? program : program.substr(slash + 1);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsArchiver(const std::string& program) {
    const std::string name = BaseName(program);
    return name == "ar" || EndsWith(name, "-ar");
}

// Compiler drivers and linkers by their usual names (cc, c++, gcc-12,
// x86_64-linux-gnu-g++, clang++-14, ld.gold ...).
bool IsLinker(const std::string& program) {
    const std::string name = BaseName(program);
    for (const char* driver : {"cc", "c++", "gcc", "g++", "clang", "clang++", "ld"}) {
        const std::string known = driver;
        const size_t at = name.find(known);
        if (at == std::string::npos) continue;
        const size_t end = at + known.size();
        const bool startOk = at == 0 || name[at - 1] == '-';
        const bool endOk = end == name.size() || name[end] == '-' || name[end] == '.';
        if (startOk && endOk) return true;
    }
    return false;
}

}  // namespace

JobKind KindOf(const std::vector<Words>& commands) {
    for (const Words& command : commands) {
        if (IsLinker(command[0]) && IsCompile(command)) return JobKind::kCompile;
    }
    for (const Words& command : commands) {
        if (IsArchiver(command[0])) return JobKind::kArchive;
    }
    for (const Words& command : commands) {
        if (IsLinker(command[0])) return JobKind::kLink;
    }
    return JobKind::kOther;
}

bool MakesThinArchive(const std::vector<Words>& commands) {
    for (const Words& command : commands) {
        if (!IsArchiver(command[0]) || command.size() < 2) continue;
        const std::string& modifiers = command[1];
        if (modifiers.find('T') != std::string::npos && modifiers.find('=') == std::string::npos) return true;
    }
    return false;
}

std::string JobName(JobKind kind, const std::string& output) {
    static const char* const kWords[] = {"compile ", "archive ", "link ", "make "};
    std::string name = kWords[static_cast<int>(kind)] + output;
    if (name.size() <= kLongestJobName) return name;
    // FNV-1a: the same name gives the same script on every system.
    uint64_t value = 0xcbf29ce484222325ULL;
    for (unsigned char c : name) value = (value ^ c) * 0x100000001b3ULL;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(value));
    return name.substr(0, kLongestJobName - 20) + "... " + hash;
}

}  // namespace kestrel::importer

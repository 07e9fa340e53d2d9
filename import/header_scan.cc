#include "import/header_scan.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "import/os/child_output.h"

namespace kestrel::importer {
namespace {

// Options that name the outputs of a compile, with the value in the next word.
bool IsOutputOption(const std::string& word) { return word == "-o" || word == "-MF" || word == "-MT" || word == "-MQ"; }

bool IsDependencyOutputFlag(const std::string& word) {
    if (word == "-MD" || word == "-MMD" || word == "-MP") return true;
    for (const char* attached : {"-MF", "-MT", "-MQ"}) {
        if (word.size() > 3 && word.compare(0, 3, attached) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> RulePrerequisites(const std::string& rule) {
    std::vector<std::string> files;
    // The target ends at the first ':' followed by a space or the end.
    size_t position = 0;
    while (position < rule.size()) {
        if (rule[position] == '\\' && position + 1 < rule.size()) {
            position += 2;
            continue;
        }
        if (rule[position] == ':' && (position + 1 == rule.size() || rule[position + 1] == ' ' ||
                                      rule[position + 1] == '\n' || rule[position + 1] == '\\')) {
            break;
        }
        ++position;
    }
    std::string file;
    for (++position; position < rule.size(); ++position) {
        const char c = rule[position];
        if (c == '\\' && position + 1 < rule.size()) {
            const char next = rule[position + 1];
            if (next == '\n') {
                // A continued line: a separator like any blank.
                ++position;
                if (!file.empty()) files.push_back(std::move(file));
                file.clear();
                continue;
            }
            if (next == ' ' || next == '#' || next == '\\') {
                file += next;
                ++position;
                continue;
            }
        }
        if (c == '$' && position + 1 < rule.size() && rule[position + 1] == '$') {
            file += '$';
            ++position;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!file.empty()) files.push_back(std::move(file));
            file.clear();
            continue;
        }
        file += c;
    }
    if (!file.empty()) files.push_back(std::move(file));
    return files;
}

Words DependencyCommand(const Words& compile) {
    Words command;
    for (size_t i = 0; i < compile.size(); ++i) {
        if (i > 0 && IsOutputOption(compile[i])) {
            ++i;
            continue;
        }
        if (i > 0 && IsDependencyOutputFlag(compile[i])) continue;
        command.push_back(compile[i]);
    }
    command.push_back("-M");
    command.push_back("-MG");
    return command;
}

bool IsCompile(const Words& command) { return std::find(command.begin() + 1, command.end(), "-c") != command.end(); }

void RunInParallel(size_t count, unsigned threads, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < count; i = next++) work(i);
    };
    std::vector<std::thread> pool;
    const unsigned extra = static_cast<unsigned>(std::min<size_t>(std::max(threads, 1u), count)) - (count > 0 ? 1 : 0);
    for (unsigned i = 0; i < extra; ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
}

bool ScanHeaders(const Words& compile, const std::string& directory, std::vector<std::string>& files,
                 std::string& problem) {
    ChildOutput output;
    if (!RunChild(DependencyCommand(compile), directory, output, problem)) return false;
    if (output.exitCode != 0) {
        problem = "the compiler could not list the headers: " + output.err.substr(0, output.err.find('\n'));
        return false;
    }
    files = RulePrerequisites(output.out);
    return true;
}

}  // namespace kestrel::importer

// Importing a compilation database: one job per compile, nothing linked.

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "import/command_rewrite.h"
#include "import/header_scan.h"
#include "import/import_sources.h"

namespace kestrel::importer {
namespace {

struct Entry {
    std::string directory;  // absolute
    std::string source;     // absolute
    std::string output;     // absolute
    std::string outputName; // as the database names it
    Words compile;
};

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

bool StringMember(const nlohmann::json& entry, const char* name) {
    return entry.contains(name) && entry[name].is_string();
}

// The words of an entry: "arguments", or "command" read as the shell would.
bool EntryWords(const nlohmann::json& entry, Words& words, std::string& problem) {
    if (entry.contains("arguments") && entry["arguments"].is_array()) {
        for (const nlohmann::json& argument : entry["arguments"]) {
            if (!argument.is_string()) {
                problem = "an argument is not text";
                return false;
            }
            words.push_back(argument.get<std::string>());
        }
        if (words.empty()) problem = "its argument list is empty";
        return !words.empty();
    }
    std::vector<Words> chain;
    if (!SplitShellChain(entry["command"].get<std::string>(), chain, problem)) return false;
    if (chain.size() != 1) {
        problem = "its command line holds more than one command";
        return false;
    }
    words = std::move(chain[0]);
    return true;
}

std::string OutputOf(const nlohmann::json& entry, const Words& words) {
    if (StringMember(entry, "output")) return entry["output"].get<std::string>();
    for (size_t i = 1; i + 1 < words.size(); ++i) {
        if (words[i] == "-o") return words[i + 1];
    }
    return "";
}

// The deepest directory holding every path; "/" when they share nothing.
std::string CommonDirectory(const std::vector<std::string>& paths) {
    if (paths.empty()) return "/";
    std::string common = ParentPath(paths[0]);
    for (const std::string& path : paths) {
        while (common != "/" && !IsWithin(path, common)) common = ParentPath(common);
    }
    return common;
}

class DatabaseImporter {
public:
    DatabaseImporter(const std::string& file, const ImportRequest& request, std::vector<std::string>& problems)
        : file_(file), request_(request), problems_(problems) {}

    bool Run(ImportedBuild& build) {
        if (!ReadEntries()) return false;
        DefineProject();
        std::vector<std::vector<std::string>> headers(entries_.size());
        std::vector<std::string> failures(entries_.size());
        RunInParallel(entries_.size(), request_.scanThreads, [&](size_t i) {
            if (!ScanHeaders(entries_[i].compile, entries_[i].directory, headers[i], failures[i]) && failures[i].empty()) {
                failures[i] = "the compiler could not be run";
            }
        });
        build.source = "the compilation database " + file_;
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (!failures[i].empty()) {
                problems_.push_back("the compile of " + entries_[i].source + ": " + failures[i]);
                continue;
            }
            ImportedJob job;
            if (MakeJob(entries_[i], headers[i], job)) build.jobs.push_back(std::move(job));
        }
        return problems_.empty();
    }

private:
    bool NotDatabase(const std::string& why) {
        problems_.push_back(file_ + " is not a compilation database: " + why);
        return false;
    }

    bool ReadEntries() {
        std::ifstream stream(file_, std::ios::binary);
        if (!stream) {
            problems_.push_back("cannot read " + file_);
            return false;
        }
        std::stringstream text;
        text << stream.rdbuf();
        const nlohmann::json document = nlohmann::json::parse(text.str(), nullptr, false);
        if (document.is_discarded()) return NotDatabase("it is not JSON");
        if (!document.is_array()) return NotDatabase("it is not a list of compiles");
        if (document.empty()) return NotDatabase("it lists no compile");
        const std::string base = ParentPath(file_);
        std::set<std::string> outputs;
        for (size_t i = 0; i < document.size(); ++i) {
            const nlohmann::json& item = document[i];
            const std::string number = "entry " + std::to_string(i + 1);
            if (!item.is_object() || !StringMember(item, "directory") || !StringMember(item, "file") ||
                !(StringMember(item, "command") || item.contains("arguments"))) {
                return NotDatabase(number + " lacks its directory, file or command");
            }
            Entry entry;
            entry.directory = AbsolutePath(base, item["directory"].get<std::string>());
            entry.source = AbsolutePath(entry.directory, item["file"].get<std::string>());
            std::string problem;
            if (!EntryWords(item, entry.compile, problem)) {
                problems_.push_back("the compile of " + entry.source + ": " + problem);
                continue;
            }
            entry.outputName = OutputOf(item, entry.compile);
            if (entry.outputName.empty()) {
                problems_.push_back("the compile of " + entry.source + ": it names no output (-o)");
                continue;
            }
            entry.output = AbsolutePath(entry.directory, entry.outputName);
            if (!outputs.insert(entry.output).second) {
                problems_.push_back("the compile of " + entry.source + ": another entry writes " + entry.outputName);
                continue;
            }
            entries_.push_back(std::move(entry));
        }
        return problems_.empty();
    }

    // The database's own directory and those its compiles run in, the
    // directory shared by the sources, and what --source names.
    void DefineProject() {
        project_.AddRoot(ParentPath(file_));
        std::vector<std::string> sources;
        for (const Entry& entry : entries_) {
            project_.AddRoot(entry.directory);
            sources.push_back(entry.source);
            known_.insert(entry.source);
            known_.insert(entry.output);
        }
        const std::string common = CommonDirectory(sources);
        if (common != "/") project_.AddRoot(common);
        for (const std::string& root : request_.sources) project_.AddRoot(root);
    }

    bool MakeJob(const Entry& entry, const std::vector<std::string>& headers, ImportedJob& job) {
        const std::string what = "the compile of " + entry.source;
        if (!project_.Contains(entry.output)) {
            problems_.push_back(what + ": it writes " + entry.outputName + " outside the project");
            return false;
        }
        CommandPlace place{entry.directory, request_.scriptDirectory, &project_,
                           [this](const std::string& path) { return known_.count(path) != 0; }};
        std::vector<std::string> reads;
        std::string problem;
        if (!RewriteChain({entry.compile}, place, job.commands, reads, problem)) {
            problems_.push_back(what + ": " + problem);
            return false;
        }
        std::set<std::string> inputs(reads.begin(), reads.end());
        inputs.insert(entry.source);
        for (const std::string& header : headers) inputs.insert(AbsolutePath(entry.directory, header));
        for (const std::string& input : inputs) {
            if (!input.empty() && project_.Contains(input) && Exists(input)) job.inputs.push_back(input);
        }
        job.outputs = {entry.output};
        // Every entry is a compile, whatever its compiler is called.
        job.kind = JobKind::kCompile;
        job.name = JobName(job.kind, RelativePath(entry.output, ParentPath(file_)));
        return true;
    }

    const std::string file_;
    const ImportRequest& request_;
    std::vector<std::string>& problems_;
    std::vector<Entry> entries_;
    Project project_;
    std::set<std::string> known_;
};

}  // namespace

bool ImportCompilationDatabase(const std::string& file, const ImportRequest& request, ImportedBuild& build,
                               std::vector<std::string>& problems) {
    DatabaseImporter importer(file, request, problems);
    return importer.Run(build);
}

}  // namespace kestrel::importer

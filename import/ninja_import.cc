// Importing a ninja build directory: the edges the targets need become jobs.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "import/command_rewrite.h"
#include "import/header_scan.h"
#include "import/import_sources.h"
#include "import/ninja_build.h"

namespace kestrel::importer {
namespace {

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

std::string ReadText(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
}

class NinjaImporter {
public:
    NinjaImporter(const std::string& directory, const ImportRequest& request, std::vector<std::string>& problems)
        : directory_(directory), request_(request), problems_(problems) {}

    bool Run(const std::vector<std::string>& targets, ImportedBuild& build) {
        std::string problem;
        if (!ReadNinjaGraph(directory_, graph_, problem)) return Fail(problem);
        DefineProject();
        std::vector<size_t> roots;
        if (!FindTargets(targets, roots) || !FindLocal()) return false;
        for (size_t root : roots) Need(root);
        if (!SplitCommands() || !FindHeaders()) return false;
        std::vector<size_t> order;
        std::vector<bool> visited(graph_.edges.size(), false);
        for (size_t root : roots) Visit(root, visited, order);
        build.source = "the ninja build in " + directory_;
        for (size_t edge : order) {
            const NinjaEdge& step = graph_.edges[edge];
            if (step.phony()) continue;
            if (local_.count(edge) != 0) {
                build.leftHere.push_back(step.outputs[0] + ": " + step.command);
                continue;
            }
            ImportedJob job;
            if (MakeJob(edge, job)) build.jobs.push_back(std::move(job));
        }
        return problems_.empty();
    }

private:
    bool Fail(const std::string& problem) {
        problems_.push_back(problem);
        return false;
    }

    std::string Absolute(const std::string& node) const { return AbsolutePath(directory_, node); }

    void DefineProject() {
        project_.AddRoot(directory_);
        const std::string source = RecordedSourceDirectory(directory_);
        if (!source.empty()) project_.AddRoot(source);
        for (const std::string& root : request_.sources) project_.AddRoot(root);
        for (const auto& [node, edge] : graph_.producers) producedAt_[Absolute(node)] = edge;
        for (const NinjaEdge& edge : graph_.edges) {
            for (const auto* list : {&edge.explicitInputs, &edge.implicitInputs, &edge.orderOnlyInputs}) {
                for (const std::string& input : *list) known_.insert(Absolute(input));
            }
        }
        for (const auto& [path, edge] : producedAt_) known_.insert(path);
    }

    bool FindTargets(std::vector<std::string> targets, std::vector<size_t>& roots) {
        if (targets.empty()) targets = DefaultTargets();
        for (const std::string& target : targets) {
            const auto found = graph_.producers.find(target);
            if (found == graph_.producers.end()) {
                problems_.push_back("ninja knows no target " + target + " in " + directory_);
                continue;
            }
            roots.push_back(found->second);
        }
        return problems_.empty();
    }

    // CMake and Meson both name their default "all"; otherwise, as ninja
    // does without a default statement, every output nothing else reads.
    std::vector<std::string> DefaultTargets() const {
        if (graph_.producers.count("all") != 0) return {"all"};
        std::set<std::string> read;
        for (const NinjaEdge& edge : graph_.edges) {
            for (const auto* list : {&edge.explicitInputs, &edge.implicitInputs, &edge.orderOnlyInputs}) {
                read.insert(list->begin(), list->end());
            }
        }
        std::vector<std::string> roots;
        for (const auto& [node, edge] : graph_.producers) {
            if (read.count(node) == 0) roots.push_back(node);
        }
        return roots;
    }

    bool FindLocal() {
        for (const std::string& name : request_.local) {
            auto found = graph_.producers.find(name);
            const auto atPath = producedAt_.find(Absolute(name));
            if (found == graph_.producers.end() && atPath == producedAt_.end()) {
                problems_.push_back("--local " + name + ": no step of the build makes it");
                continue;
            }
            local_.insert(found != graph_.producers.end() ? found->second : atPath->second);
        }
        return problems_.empty();
    }

    // Marks the edge and every edge it waits for as needed.
    void Need(size_t edge) {
        if (!needed_.insert(edge).second) return;
        const NinjaEdge& step = graph_.edges[edge];
        for (const auto* list : {&step.explicitInputs, &step.implicitInputs, &step.orderOnlyInputs}) {
            for (const std::string& input : *list) {
                const auto producer = graph_.producers.find(input);
                if (producer != graph_.producers.end()) Need(producer->second);
            }
        }
    }

    bool SplitCommands() {
        for (size_t edge : needed_) {
            const NinjaEdge& step = graph_.edges[edge];
            if (step.phony() || local_.count(edge) != 0 || !split_.insert(edge).second) continue;
            std::string problem;
            std::vector<Words> chain;
            if (SplitShellChain(step.command, chain, problem)) {
                chains_[edge] = std::move(chain);
            } else {
                problems_.push_back("the step making " + step.outputs[0] + ": " + problem + ": " + step.command);
            }
        }
        return problems_.empty();
    }

    // The headers of every compile: from the deps log when ninja recorded
    // them, otherwise from the compiler. A header that another step makes
    // brings that step in, with its own headers.
    bool FindHeaders() {
        std::set<size_t> done;
        while (true) {
            std::vector<size_t> pending;
            for (size_t edge : needed_) {
                if (done.count(edge) == 0 && chains_.count(edge) != 0) pending.push_back(edge);
            }
            if (pending.empty()) return problems_.empty();
            if (!HeadersOf(pending)) return false;
            done.insert(pending.begin(), pending.end());
            for (size_t edge : pending) {
                for (const std::string& header : headers_[edge]) {
                    const auto producer = producedAt_.find(header);
                    if (producer != producedAt_.end()) Need(producer->second);
                }
            }
            SplitCommands();
        }
    }

    bool HeadersOf(const std::vector<size_t>& edges) {
        std::vector<std::string> firstOutputs;
        for (size_t edge : edges) firstOutputs.push_back(graph_.edges[edge].outputs[0]);
        std::map<std::string, std::vector<std::string>> recorded;
        std::string problem;
        if (!ReadNinjaDeps(directory_, firstOutputs, recorded, problem)) return Fail(problem);
        std::vector<size_t> scan;
        for (size_t edge : edges) {
            const auto found = recorded.find(graph_.edges[edge].outputs[0]);
            if (found != recorded.end()) {
                for (const std::string& file : found->second) AddHeader(edge, file);
            } else if (CompileOf(edge) != nullptr) {
                scan.push_back(edge);
            }
        }
        return Scan(scan);
    }

    const Words* CompileOf(size_t edge) const {
        for (const Words& command : chains_.at(edge)) {
            if (IsCompile(command)) return &command;
        }
        return nullptr;
    }

    bool Scan(const std::vector<size_t>& edges) {
        std::vector<std::vector<std::string>> found(edges.size());
        std::vector<std::string> failures(edges.size());
        RunInParallel(edges.size(), request_.scanThreads, [&](size_t i) {
            if (!ScanHeaders(*CompileOf(edges[i]), directory_, found[i], failures[i]) && failures[i].empty()) {
                failures[i] = "the compiler could not be run";
            }
        });
        for (size_t i = 0; i < edges.size(); ++i) {
            if (!failures[i].empty()) {
                problems_.push_back("the step making " + graph_.edges[edges[i]].outputs[0] + ": " + failures[i]);
                continue;
            }
            for (const std::string& file : found[i]) AddHeader(edges[i], ResolveMissing(file));
        }
        return problems_.empty();
    }

    // A header the compiler did not find (-MG) is one a step makes: it is
    // named as the source includes it, so it is found by its ending.
    std::string ResolveMissing(const std::string& name) const {
        const std::string path = Absolute(name);
        if (Exists(path) || producedAt_.count(path) != 0) return name;
        for (const auto& [made, edge] : producedAt_) {
            if (made.size() > name.size() && made.compare(made.size() - name.size(), name.size(), name) == 0 &&
                made[made.size() - name.size() - 1] == '/') {
                return made;
            }
        }
        return name;
    }

    void AddHeader(size_t edge, const std::string& file) {
        const std::string path = Absolute(file);
        if (!path.empty() && project_.Contains(path)) headers_[edge].push_back(path);
    }

    // Post-order: every edge after the edges that make what it reads.
    void Visit(size_t edge, std::vector<bool>& visited, std::vector<size_t>& order) {
        if (visited[edge]) return;
        visited[edge] = true;
        const NinjaEdge& step = graph_.edges[edge];
        for (const auto* list : {&step.explicitInputs, &step.implicitInputs, &step.orderOnlyInputs}) {
            for (const std::string& input : *list) {
                const auto producer = graph_.producers.find(input);
                if (producer != graph_.producers.end()) Visit(producer->second, visited, order);
            }
        }
        for (const std::string& header : headers_[edge]) {
            const auto producer = producedAt_.find(header);
            if (producer != producedAt_.end()) Visit(producer->second, visited, order);
        }
        order.push_back(edge);
    }

    // Explicit and implicit inputs, with phony nodes replaced by what they
    // stand for and thin archives joined by their members.
    void Inputs(size_t edge, std::set<std::string>& inputs, std::set<size_t>& seen) const {
        if (!seen.insert(edge).second) return;
        const NinjaEdge& step = graph_.edges[edge];
        for (const auto* list : {&step.explicitInputs, &step.implicitInputs}) {
            for (const std::string& input : *list) {
                const auto producer = graph_.producers.find(input);
                const bool phony = producer != graph_.producers.end() && graph_.edges[producer->second].phony();
                if (!phony) inputs.insert(Absolute(input));
                // A phony node stands for its inputs; a thin archive needs
                // its members beside it.
                if (phony || (producer != graph_.producers.end() && chains_.count(producer->second) != 0 &&
                              MakesThinArchive(chains_.at(producer->second)))) {
                    Inputs(producer->second, inputs, seen);
                }
            }
        }
    }

    bool MakeJob(size_t edge, ImportedJob& job) {
        const NinjaEdge& step = graph_.edges[edge];
        const std::string what = "the step making " + step.outputs[0];
        for (const std::string& output : step.outputs) {
            const std::string path = Absolute(output);
            if (path.empty() || !project_.Contains(path)) return Fail(what + ": it writes " + output + " outside the project");
            job.outputs.push_back(path);
        }
        CommandPlace place{directory_, request_.scriptDirectory, &project_,
                           [this](const std::string& path) { return known_.count(path) != 0; }};
        std::vector<std::string> reads;
        std::string problem;
        if (!RewriteChain(chains_[edge], place, job.commands, reads, problem)) return Fail(what + ": " + problem);
        std::set<std::string> inputs;
        std::set<size_t> seen;
        Inputs(edge, inputs, seen);
        inputs.insert(headers_[edge].begin(), headers_[edge].end());
        inputs.insert(reads.begin(), reads.end());
        for (const std::string& input : inputs) {
            if (!project_.Contains(input)) continue;
            const auto producer = producedAt_.find(input);
            if (producer != producedAt_.end() && local_.count(producer->second) != 0) {
                return Fail(what + ": it reads " + RelativePath(input, directory_) +
                            ", which a --local step makes here");
            }
            if (Exists(input) || producer != producedAt_.end()) job.inputs.push_back(input);
        }
        job.kind = KindOf(job.commands);
        job.name = JobName(job.kind, step.outputs[0]);
        return true;
    }

    const std::string directory_;
    const ImportRequest& request_;
    std::vector<std::string>& problems_;
    NinjaGraph graph_;
    Project project_;
    std::map<std::string, size_t> producedAt_;  // absolute output path -> edge
    std::set<std::string> known_;               // every absolute path the build names
    std::set<size_t> needed_;
    std::set<size_t> local_;
    std::set<size_t> split_;  // edges whose command was read
    std::map<size_t, std::vector<Words>> chains_;
    std::map<size_t, std::vector<std::string>> headers_;
};

}  // namespace

std::string RecordedSourceDirectory(const std::string& buildDirectory) {
    std::istringstream cache(ReadText(buildDirectory + "/CMakeCache.txt"));
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    for (std::string line; std::getline(cache, line);) {
        if (line.compare(0, key.size(), key) == 0) return AbsolutePath(buildDirectory, line.substr(key.size()));
    }
    const nlohmann::json info = nlohmann::json::parse(ReadText(buildDirectory + "/meson-info/meson-info.json"), nullptr, false);
    if (info.is_object() && info.contains("directories") && info["directories"].is_object()) {
        const nlohmann::json& directories = info["directories"];
        if (directories.contains("source") && directories["source"].is_string()) {
            return AbsolutePath(buildDirectory, directories["source"].get<std::string>());
        }
    }
    return "";
}

bool ImportNinja(const std::string& directory, const std::vector<std::string>& targets, const ImportRequest& request,
                 ImportedBuild& build, std::vector<std::string>& problems) {
    if (!Exists(directory + "/build.ninja")) {
        problems.push_back(directory + " is not a ninja build directory: it has no build.ninja");
        return false;
    }
    NinjaImporter importer(directory, request, problems);
    return importer.Run(targets, build);
}

}  // namespace kestrel::importer

#include "import/ninja_build.h"

#include <nlohmann/json.hpp>

#include "import/os/child_output.h"

namespace kestrel::importer {
namespace {

// Keeps command lines of every size well below the system's limit.
constexpr size_t kNodesPerCall = 400;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool RunNinja(const std::string& directory, const std::vector<std::string>& tool, std::string& out,
              std::string& problem) {
    std::vector<std::string> argv = {"ninja", "-C", directory};
    argv.insert(argv.end(), tool.begin(), tool.end());
    ChildOutput output;
    if (!RunChild(argv, "", output, problem)) return false;
    if (output.exitCode != 0) {
        std::string said = output.err.empty() ? output.out : output.err;
        while (!said.empty() && said.back() == '\n') said.pop_back();
        problem = said.empty() ? "ninja -t " + tool[1] + " failed" : said;
        return false;
    }
    out = std::move(output.out);
    return true;
}

// Every node that an edge produces, from `-t targets all` ("name: rule").
std::vector<std::string> ProducedNodes(const std::string& text) {
    std::vector<std::string> nodes;
    for (const std::string& line : Lines(text)) {
        const size_t colon = line.rfind(": ");
        if (colon != std::string::npos) nodes.push_back(line.substr(0, colon));
    }
    return nodes;
}

bool ReadCommands(const std::string& directory, std::map<std::string, std::string>& commands, std::string& problem) {
    std::string text;
    if (!RunNinja(directory, {"-t", "compdb", "-x"}, text, problem)) return false;
    const nlohmann::json entries = nlohmann::json::parse(text, nullptr, false);
    if (!entries.is_array()) {
        problem = "ninja -t compdb did not print a list";
        return false;
    }
    for (const nlohmann::json& entry : entries) {
        if (!entry.is_object() || !entry.contains("output") || !entry.contains("command")) continue;
        if (!entry["output"].is_string() || !entry["command"].is_string()) continue;
        commands[entry["output"].get<std::string>()] = entry["command"].get<std::string>();
    }
    return true;
}

}  // namespace

std::map<std::string, QueriedNode> ParseQuery(const std::string& text) {
    std::map<std::string, QueriedNode> nodes;
    QueriedNode* node = nullptr;
    bool inInputs = false;
    for (const std::string& line : Lines(text)) {
        if (line.empty()) continue;
        if (line[0] != ' ' && line.back() == ':') {
            node = &nodes[line.substr(0, line.size() - 1)];
            inInputs = false;
        } else if (node != nullptr && line.compare(0, 9, "  input: ") == 0) {
            node->rule = line.substr(9);
            inInputs = true;
        } else if (node != nullptr && line.compare(0, 4, "    ") != 0) {
            inInputs = false;  // "  outputs:", "  validations:"
        } else if (node != nullptr && inInputs) {
            const std::string item = line.substr(4);
            if (item.compare(0, 3, "|| ") == 0) {
                node->orderOnlyInputs.push_back(item.substr(3));
            } else if (item.compare(0, 2, "| ") == 0) {
                node->implicitInputs.push_back(item.substr(2));
            } else {
                node->explicitInputs.push_back(item);
            }
        }
    }
    return nodes;
}

std::map<std::string, std::vector<std::string>> ParseDeps(const std::string& text) {
    std::map<std::string, std::vector<std::string>> deps;
    std::vector<std::string>* current = nullptr;
    for (const std::string& line : Lines(text)) {
        if (line.empty()) {
            current = nullptr;
        } else if (line[0] != ' ') {
            current = nullptr;
            const size_t mark = line.rfind(": #deps ");
            if (mark != std::string::npos && line.size() >= 8 && line.compare(line.size() - 8, 8, " (VALID)") == 0) {
                current = &deps[line.substr(0, mark)];
            }
        } else if (current != nullptr) {
            const size_t start = line.find_first_not_of(' ');
            if (start != std::string::npos) current->push_back(line.substr(start));
        }
    }
    return deps;
}

NinjaGraph GroupEdges(const std::map<std::string, QueriedNode>& nodes,
                      const std::map<std::string, std::string>& commands) {
    NinjaGraph graph;
    // compdb names each edge once, by its first output; further outputs of
    // the edge share its rule and inputs.
    std::map<std::string, size_t> byInputs;
    auto keyOf = [](const QueriedNode& node) {
        std::string key = node.rule;
        for (const auto* list : {&node.explicitInputs, &node.implicitInputs, &node.orderOnlyInputs}) {
            key += '\x01';
            for (const std::string& input : *list) key += input + '\x02';
        }
        return key;
    };
    std::vector<std::string> secondary;
    for (const auto& [name, node] : nodes) {
        if (node.rule.empty()) continue;  // a source: nothing makes it
        const auto command = commands.find(name);
        if (node.rule != "phony" && command == commands.end()) {
            secondary.push_back(name);
            continue;
        }
        NinjaEdge edge;
        edge.rule = node.rule;
        edge.outputs = {name};
        edge.explicitInputs = node.explicitInputs;
        edge.implicitInputs = node.implicitInputs;
        edge.orderOnlyInputs = node.orderOnlyInputs;
        if (command != commands.end()) edge.command = command->second;
        byInputs.emplace(keyOf(node), graph.edges.size());
        graph.producers[name] = graph.edges.size();
        graph.edges.push_back(std::move(edge));
    }
    for (const std::string& name : secondary) {
        const auto found = byInputs.find(keyOf(nodes.at(name)));
        if (found == byInputs.end()) continue;  // no command: nothing to run for it
        graph.edges[found->second].outputs.push_back(name);
        graph.producers[name] = found->second;
    }
    return graph;
}

bool ReadNinjaGraph(const std::string& directory, NinjaGraph& graph, std::string& problem) {
    std::string text;
    if (!RunNinja(directory, {"-t", "targets", "all"}, text, problem)) return false;
    const std::vector<std::string> produced = ProducedNodes(text);
    std::map<std::string, QueriedNode> nodes;
    for (size_t start = 0; start < produced.size(); start += kNodesPerCall) {
        std::vector<std::string> tool = {"-t", "query"};
        const size_t end = std::min(produced.size(), start + kNodesPerCall);
        tool.insert(tool.end(), produced.begin() + static_cast<long>(start), produced.begin() + static_cast<long>(end));
        if (!RunNinja(directory, tool, text, problem)) return false;
        nodes.merge(ParseQuery(text));
    }
    std::map<std::string, std::string> commands;
    if (!ReadCommands(directory, commands, problem)) return false;
    graph = GroupEdges(nodes, commands);
    return true;
}

bool ReadNinjaDeps(const std::string& directory, const std::vector<std::string>& nodes,
                   std::map<std::string, std::vector<std::string>>& deps, std::string& problem) {
    for (size_t start = 0; start < nodes.size(); start += kNodesPerCall) {
        std::vector<std::string> tool = {"-t", "deps"};
        const size_t end = std::min(nodes.size(), start + kNodesPerCall);
        tool.insert(tool.end(), nodes.begin() + static_cast<long>(start), nodes.begin() + static_cast<long>(end));
        std::string text;
        if (!RunNinja(directory, tool, text, problem)) return false;
        deps.merge(ParseDeps(text));
    }
    return true;
}

}  // namespace kestrel::importer

// A ninja build directory as ninja's own tools describe it: the edges with
// their inputs and outputs (-t targets, -t query), their commands (-t compdb,
// response files expanded) and the headers each compile read when the
// directory was built before (-t deps).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kestrel::importer {

struct NinjaEdge {
    std::string rule;
    std::vector<std::string> outputs;  // node names as ninja writes them
    std::vector<std::string> explicitInputs;
    std::vector<std::string> implicitInputs;
    std::vector<std::string> orderOnlyInputs;
    std::string command;
    bool phony() const { return rule == "phony"; }
};

struct NinjaGraph {
    std::vector<NinjaEdge> edges;
    std::map<std::string, size_t> producers;  // node name -> index in edges
};

// One node of `ninja -t query` output.
struct QueriedNode {
    std::string rule;
    std::vector<std::string> explicitInputs;
    std::vector<std::string> implicitInputs;
    std::vector<std::string> orderOnlyInputs;
};

// Parsers of the tools' output, for the tests as much as for the importer.
std::map<std::string, QueriedNode> ParseQuery(const std::string& text);
// `-t deps`: node -> recorded dependencies, for the records ninja calls VALID.
std::map<std::string, std::vector<std::string>> ParseDeps(const std::string& text);
// Groups the queried outputs into edges. `commands` holds one command per
// edge, under its first output (as -t compdb names them); the other outputs
// of an edge share its rule and inputs.
NinjaGraph GroupEdges(const std::map<std::string, QueriedNode>& nodes,
                      const std::map<std::string, std::string>& commands);

// Reads the whole graph of the build in `directory` (absolute). False with
// `problem` when ninja cannot.
bool ReadNinjaGraph(const std::string& directory, NinjaGraph& graph, std::string& problem);

// The deps-log records of `nodes`; nodes without a valid record are missing
// from the result.
bool ReadNinjaDeps(const std::string& directory, const std::vector<std::string>& nodes,
                   std::map<std::string, std::vector<std::string>>& deps, std::string& problem);

}  // namespace kestrel::importer

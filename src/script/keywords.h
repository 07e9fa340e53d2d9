// Keyword tables: static tries built at compile time from a list of keywords
// and the actions that complete them. A line is recognised by walking the trie
// byte by byte over the reader's line buffer, without copying it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

struct ScriptReader;

// Every handler action: false ends the whole parse.
using BlockAction = bool (*)(ScriptReader& reader);

// One trie node. The children of a node sit next to each other in the owning
// trie's node array, so a table is a (first node, count) range.
struct KeywordNode {
    BlockAction action;  // completes a keyword; the children are then never consulted
    uint16_t firstChild;
    uint16_t childCount;
    uint8_t byte;
};

// The nodes that may match the next byte.
struct KeywordTable {
    const KeywordNode* nodes = nullptr;  // null: no table
    uint16_t first = 0;
    uint16_t count = 0;

    constexpr bool empty() const { return nodes == nullptr || count == 0; }
    // The node for `byte` in table order, or null.
    const KeywordNode* find(uint8_t byte) const {
        for (uint16_t i = 0; i < count; ++i) {
            const KeywordNode& node = nodes[first + i];
            if (node.byte == byte) return &node;
        }
        return nullptr;
    }
    KeywordTable children(const KeywordNode& node) const { return {nodes, node.firstChild, node.childCount}; }
};

struct Keyword {
    const char* text;
    BlockAction action;
};

namespace keyword_detail {

// Never defined: reaching it while a table is built (always at compile time)
// stops the build with the reason in the diagnostic.
void InvalidKeywordTable(const char* reason);

inline constexpr size_t kMaxNodes = 512;
inline constexpr uint16_t kNone = 0xFFFF;

// The trie while it is built: children as sibling chains in insertion order.
struct Builder {
    struct Node {
        BlockAction action = nullptr;
        uint16_t firstChild = kNone;
        uint16_t lastChild = kNone;
        uint16_t nextSibling = kNone;
        uint8_t byte = 0;
    };
    Node nodes[kMaxNodes]{};
    uint16_t count = 1;  // node 0 is the virtual root

    constexpr uint16_t child(uint16_t parent, uint8_t byte) {
        for (uint16_t i = nodes[parent].firstChild; i != kNone; i = nodes[i].nextSibling) {
            if (nodes[i].byte == byte) return i;
        }
        if (count == kMaxNodes) InvalidKeywordTable("keyword table too large");
        const uint16_t created = count++;
        nodes[created].byte = byte;
        if (nodes[parent].firstChild == kNone) {
            nodes[parent].firstChild = created;
        } else {
            nodes[nodes[parent].lastChild].nextSibling = created;
        }
        nodes[parent].lastChild = created;
        return created;
    }

    constexpr void add(const Keyword& keyword) {
        if (keyword.text == nullptr || keyword.text[0] == '\0' || keyword.action == nullptr)
            InvalidKeywordTable("empty keyword");
        uint16_t at = 0;
        for (const char* p = keyword.text; *p != '\0'; ++p) {
            // A keyword behind a completed one could never be reached.
            if (nodes[at].action != nullptr) InvalidKeywordTable("keyword hidden by a shorter keyword");
            at = child(at, static_cast<uint8_t>(*p));
        }
        if (nodes[at].action != nullptr || nodes[at].firstChild != kNone)
            InvalidKeywordTable("keyword repeated or hides a longer one");
        nodes[at].action = keyword.action;
    }
};

template <size_t K>
constexpr Builder Build(const Keyword (&keywords)[K]) {
    Builder builder;
    for (const Keyword& keyword : keywords) builder.add(keyword);
    return builder;
}

}  // namespace keyword_detail

template <size_t N>
struct KeywordTrie {
    KeywordNode nodes[N]{};
    uint16_t rootCount = 0;

    constexpr KeywordTable table() const { return {nodes, 0, rootCount}; }
};

template <size_t K>
consteval size_t CountKeywordNodes(const Keyword (&keywords)[K]) {
    return keyword_detail::Build(keywords).count - 1u;
}

// Lays the trie out breadth first so that every node's children are adjacent,
// keeping the order in which the keywords were listed.
template <size_t N, size_t K>
consteval KeywordTrie<N> MakeKeywordTrie(const Keyword (&keywords)[K]) {
    using keyword_detail::kNone;
    const keyword_detail::Builder builder = keyword_detail::Build(keywords);
    KeywordTrie<N> trie;
    uint16_t order[N + 1]{};  // builder index of each laid-out node
    uint16_t placed = 0;
    for (uint16_t i = builder.nodes[0].firstChild; i != kNone; i = builder.nodes[i].nextSibling) order[placed++] = i;
    trie.rootCount = placed;
    for (uint16_t at = 0; at < placed; ++at) {
        const auto& source = builder.nodes[order[at]];
        KeywordNode& node = trie.nodes[at];
        node.byte = source.byte;
        node.action = source.action;
        node.firstChild = placed;
        for (uint16_t i = source.firstChild; i != kNone; i = builder.nodes[i].nextSibling) order[placed++] = i;
        node.childCount = static_cast<uint16_t>(placed - node.firstChild);
    }
    return trie;
}

// The trie of a keyword list with static storage:
//   constexpr Keyword kList[] = {{"data ", OpenData}, ...};
//   KeywordTable table = KeywordTrieOf<kList>.table();
template <const auto& Keywords>
inline constexpr auto KeywordTrieOf = MakeKeywordTrie<CountKeywordNodes(Keywords)>(Keywords);

}  // namespace kestrel

#include "import/command_rewrite.h"

#include <array>
#include <filesystem>
#include <string_view>

namespace kestrel::importer {
namespace {

// Options whose value is a path, written in the next word or attached.
constexpr std::array<std::string_view, 12> kPathOptions = {
    "-I", "-isystem", "-iquote", "-idirafter", "-include", "-imacros", "-o", "-MF", "-MT", "-MQ", "-L", "-isysroot"};

// Those of them that are also written with the value attached ("-Isrc").
constexpr std::array<std::string_view, 8> kAttachedPathOptions = {"-isystem", "-iquote", "-idirafter", "-MF",
                                                                  "-MT",      "-MQ",     "-I",         "-L"};

bool Exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

class CommandRewriter {
public:
    CommandRewriter(const CommandPlace& place, std::vector<std::string>& reads) : place_(place), reads_(reads) {}

    bool Rewrite(const Words& words, Words& rewritten, std::string& problem) {
        rewritten.clear();
        bool valueFollows = false;
        for (size_t i = 0; i < words.size(); ++i) {
            std::string word;
            if (!RewriteWord(words[i], i == 0, valueFollows, word)) {
                problem = problem_;
                return false;
            }
            rewritten.push_back(std::move(word));
        }
        return true;
    }

private:
    bool RewriteWord(const std::string& word, bool program, bool& valueFollows, std::string& result) {
        if (valueFollows) {
            valueFollows = false;
            return RewritePath(word, true, false, result);
        }
        if (program) return RewritePath(word, false, true, result);
        if (word.size() > 1 && word[0] == '@') return RewriteResponseFile(word, result);
        if (word.empty() || word[0] != '-') return RewritePath(word, false, false, result);
        for (std::string_view option : kPathOptions) {
            if (word == option) {
                valueFollows = true;
                result = word;
                return true;
            }
        }
        for (std::string_view option : kAttachedPathOptions) {
            if (word.size() > option.size() && word.compare(0, option.size(), option) == 0) {
                std::string value;
                if (!RewritePath(word.substr(option.size()), true, false, value)) return false;
                result = std::string(option) + value;
                return true;
            }
        }
        return RewriteOption(word, result);
    }

    // Options that carry paths after '=' or, for the linker, between commas.
    bool RewriteOption(const std::string& word, std::string& result) {
        result = word;
        // Prefix maps name the directories of the machine that builds; the
        // same flags on both sides are what make the objects equal.
        if (word.find("prefix-map") != std::string::npos) return true;
        if (word.compare(0, 2, "-D") == 0 || word.compare(0, 2, "-U") == 0) return true;
        if (word.compare(0, 4, "-Wl,") == 0) return RewriteLinkerOption(word, result);
        const size_t equals = word.find('=');
        if (equals == std::string::npos || equals + 1 >= word.size() || word[equals + 1] != '/') return true;
        std::string value;
        if (!RewritePath(word.substr(equals + 1), false, false, value)) return false;
        result = word.substr(0, equals + 1) + value;
        return true;
    }

    bool RewriteLinkerOption(const std::string& word, std::string& result) {
        result = "-Wl";
        size_t start = 4;
        while (start <= word.size()) {
            size_t comma = word.find(',', start);
            if (comma == std::string::npos) comma = word.size();
            std::string part = word.substr(start, comma - start);
            std::string rewritten = part;
            const size_t equals = part.find('=');
            if (!part.empty() && part[0] == '-') {
                if (equals != std::string::npos && equals + 1 < part.size() && part[equals + 1] == '/' &&
                    !RewritePath(part.substr(equals + 1), false, false, rewritten)) {
                    return false;
                }
                if (equals != std::string::npos && rewritten != part) rewritten = part.substr(0, equals + 1) + rewritten;
            } else if (!RewritePath(part, false, false, rewritten)) {
                return false;
            }
            result += "," + rewritten;
            start = comma + 1;
        }
        return true;
    }

    bool RewriteResponseFile(const std::string& word, std::string& result) {
        const std::string path = AbsolutePath(place_.directory, word.substr(1));
        if (path.empty() || !place_.project->Contains(path)) {
            problem_ = "the response file " + word.substr(1) + " is outside the project";
            return false;
        }
        reads_.push_back(path);
        result = "@" + RelativePath(path, place_.scriptDirectory);
        return true;
    }

    // `certain`: the word is an option's path value. Other words are paths
    // when they are absolute, or when they name a file that exists or that
    // the build knows of.
    bool RewritePath(const std::string& word, bool certain, bool program, std::string& result) {
        result = word;
        if (word.empty()) return true;
        const bool absolute = word[0] == '/';
        if (program && !absolute && word.find('/') == std::string::npos) return true;  // found on PATH
        const std::string path = AbsolutePath(place_.directory, word);
        if (path.empty()) return true;
        const bool isPath = absolute || certain || place_.knownFile(path) || Exists(path);
        if (!isPath) return true;
        if (!place_.project->Contains(path)) {
            if (absolute) return true;
            problem_ = "the path " + word + " leads outside the project";
            return false;
        }
        if (program) reads_.push_back(path);
        result = RelativePath(path, place_.scriptDirectory);
        // A program in the script's own directory needs its "./".
        if (program && result.find('/') == std::string::npos) result = "./" + result;
        return true;
    }

    const CommandPlace& place_;
    std::vector<std::string>& reads_;
    std::string problem_;
};

}  // namespace

bool RewriteChain(const std::vector<Words>& chain, CommandPlace place, std::vector<Words>& rewritten,
                  std::vector<std::string>& reads, std::string& problem) {
    rewritten.clear();
    for (const Words& command : chain) {
        if (command[0] == "cd") {
            if (command.size() != 2) {
                problem = "a cd command without exactly one directory";
                return false;
            }
            place.directory = AbsolutePath(place.directory, command[1]);
            continue;
        }
        Words words;
        CommandRewriter rewriter(place, reads);
        if (!rewriter.Rewrite(command, words, problem)) return false;
        rewritten.push_back(std::move(words));
    }
    if (rewritten.empty()) {
        problem = "no command but cd";
        return false;
    }
    return true;
}

}  // namespace kestrel::importer

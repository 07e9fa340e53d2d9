#include "import/shell_words.h"

#include <cstring>

namespace kestrel::importer {
namespace {

// What a character outside quotes does that a job could not do.
const char* UnquotedProblem(char c, bool atWordStart) {
    switch (c) {
    case '|': return "a pipe or '||'";
    case ';': return "a ';' command list";
    case '<':
    case '>': return "a redirection";
    case '$': return "a shell expansion ($)";
    case '`': return "a command substitution";
    case '(':
    case ')': return "a subshell";
    case '*':
    case '?':
    case '[': return "a file name pattern";
    case '&': return "a background command";
    case '~': return atWordStart ? "a home directory (~)" : nullptr;
    case '#': return atWordStart ? "a shell comment" : nullptr;
    default: return nullptr;
    }
}

// A word of the form NAME=... before the program: a variable set for it.
bool IsAssignment(const std::string& word, bool quotedBeforeEquals) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0 || quotedBeforeEquals) return false;
    for (size_t i = 0; i < equals; ++i) {
        const char c = word[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

class ChainReader {
public:
    explicit ChainReader(const std::string& line) : line_(line) {}

    // Whether a command begins with a variable assignment.
    bool assignment() const { return assignment_; }

    bool Read(std::vector<Words>& commands, std::string& problem) {
        while (position_ < line_.size()) {
            const char c = line_[position_];
            if (c == ' ' || c == '\t' || c == '\n') {
                EndWord();
                ++position_;
            } else if (c == '&' && position_ + 1 < line_.size() && line_[position_ + 1] == '&') {
                EndWord();
                if (current_.empty()) return Fail("an empty command in an '&&' chain", problem);
                commands_.push_back(std::move(current_));
                current_.clear();
                position_ += 2;
            } else if (!ReadWordPart(problem)) {
                return false;
            }
        }
        EndWord();
        if (!current_.empty()) {
            commands_.push_back(std::move(current_));
        } else if (!commands_.empty()) {
            return Fail("an '&&' at the end", problem);
        }
        for (Words& command : commands_) {
            if (command.size() == 1 && command[0] == ":") continue;
            commands.push_back(std::move(command));
        }
        if (commands.empty()) return Fail("no command", problem);
        return true;
    }

private:
    bool Fail(const std::string& what, std::string& problem) {
        problem = "the command line needs " + what + " of the shell";
        return false;
    }

    bool ReadWordPart(std::string& problem) {
        const char c = line_[position_];
        if (c == '\'') return ReadSingleQuoted(problem);
        if (c == '"') return ReadDoubleQuoted(problem);
        if (c == '\\') {
            if (position_ + 1 >= line_.size()) return Fail("a '\\' at the end", problem);
            if (line_[position_ + 1] != '\n') Append(line_[position_ + 1]);
            quotedBeforeEquals_ = quotedBeforeEquals_ || word_.find('=') == std::string::npos;
            position_ += 2;
            return true;
        }
        if (const char* what = UnquotedProblem(c, !inWord_)) return Fail(what, problem);
        Append(c);
        ++position_;
        return true;
    }

    bool ReadSingleQuoted(std::string& problem) {
        const size_t end = line_.find('\'', position_ + 1);
        if (end == std::string::npos) return Fail("an unterminated quote", problem);
        MarkQuoted();
        word_.append(line_, position_ + 1, end - position_ - 1);
        position_ = end + 1;
        return true;
    }

    bool ReadDoubleQuoted(std::string& problem) {
        MarkQuoted();
        ++position_;
        while (position_ < line_.size() && line_[position_] != '"') {
            const char c = line_[position_];
            if (c == '$') return Fail("a shell expansion ($)", problem);
            if (c == '`') return Fail("a command substitution", problem);
            if (c == '\\' && position_ + 1 < line_.size() && std::strchr("$`\"\\\n", line_[position_ + 1]) != nullptr) {
                if (line_[position_ + 1] != '\n') word_ += line_[position_ + 1];
                position_ += 2;
                continue;
            }
            word_ += c;
            ++position_;
        }
        if (position_ >= line_.size()) return Fail("an unterminated quote", problem);
        ++position_;
        return true;
    }

    void MarkQuoted() {
        if (word_.find('=') == std::string::npos) quotedBeforeEquals_ = true;
        inWord_ = true;
    }

    void Append(char c) {
        word_ += c;
        inWord_ = true;
    }

    void EndWord() {
        if (!inWord_) return;
        if (current_.empty() && IsAssignment(word_, quotedBeforeEquals_)) assignment_ = true;
        current_.push_back(std::move(word_));
        word_.clear();
        inWord_ = false;
        quotedBeforeEquals_ = false;
    }

    const std::string& line_;
    size_t position_ = 0;
    std::string word_;
    bool inWord_ = false;
    bool quotedBeforeEquals_ = false;
    Words current_;
    std::vector<Words> commands_;
    bool assignment_ = false;
};

}  // namespace

bool SplitShellChain(const std::string& line, std::vector<Words>& commands, std::string& problem) {
    commands.clear();
    ChainReader reader(line);
    std::vector<Words> read;
    if (!reader.Read(read, problem)) return false;
    if (reader.assignment()) {
        problem = "the command line needs a variable assignment of the shell";
        return false;
    }
    commands = std::move(read);
    return true;
}

}  // namespace kestrel::importer

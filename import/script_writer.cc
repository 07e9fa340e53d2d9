#include "import/script_writer.h"

#include <algorithm>
#include <cstdint>

#include "import/project_paths.h"
#include "runtime/utf8.h"

namespace kestrel::importer {
namespace {

const char kIndent[] = "    ";

std::string Indented(int depth, const std::string& text) {
    std::string line;
    for (int i = 0; i < depth; ++i) line += kIndent;
    return line + text + "\n";
}

// Characters that end a script line wherever they stand, or that the reader
// drops.
bool EndsOrVanishes(uint32_t code) {
    return code < 0x20 || code == 0x85 || code == 0x2028 || code == 0x2029 || code == 0xFEFF;
}

// A file of the job as the script writes it: relative to the script, with
// "./" in front where the line would otherwise be read as a comment.
bool FileLine(const std::string& path, const std::string& scriptDirectory, std::string& line, std::string& what) {
    line = RelativePath(path, scriptDirectory);
    if (line.find('\\') != std::string::npos) {
        what = "the file name " + line + " holds a '\\', which scripts read as a separator";
        return false;
    }
    if (line[0] == '#' || line[0] == ' ') line = "./" + line;
    std::string reason;
    if (!FitsOnScriptLine(line, reason)) {
        what = "the file name " + line + " " + reason;
        return false;
    }
    return true;
}

bool Argument(const std::string& word, std::string& what) {
    std::string reason;
    if (!FitsOnScriptLine(word, reason)) {
        what = "the argument \"" + word + "\" " + reason;
        return false;
    }
    // '<' always opens an expansion in a command line.
    if (word.find('<') != std::string::npos) {
        what = "the argument \"" + word + "\" holds a '<', which scripts read as an expansion";
        return false;
    }
    return true;
}

class JobWriter {
public:
    JobWriter(const ScriptSettings& settings, std::string& out) : settings_(settings), out_(out) {}

    bool Write(const ImportedJob& job, std::string& what) {
        std::string text;
        text += Indented(0, "job " + job.name);
        text += Indented(1, "machine");
        const bool anywhere = job.kind == JobKind::kCompile;
        for (size_t i = 0; i < (anywhere ? settings_.machines.size() : 1); ++i) {
            text += Indented(2, settings_.machines[i].name);
        }
        std::vector<std::string> inputs = job.inputs;
        if (!InScriptDirectory(inputs)) {
            // Commands run in the script's directory, and a machine has the
            // directories of the files it was sent, no others. The script
            // holds the job's commands, so it is an input in its own right.
            if (settings_.scriptFile.empty()) {
                homeless_.push_back(job.name);
                return true;
            }
            inputs.push_back(settings_.scriptFile);
        }
        if (!Files("input", inputs, text, what) || !Files("output", job.outputs, text, what)) return false;
        const std::string& level = job.kind == JobKind::kCompile ? settings_.compileConcurrency
                                   : job.kind == JobKind::kOther ? std::string()
                                                                 : settings_.linkConcurrency;
        if (!level.empty()) text += Indented(1, "concurrency " + level);
        // The first failing command stops the job, as it stops "&&".
        text += Indented(1, "command break on error");
        for (const Words& command : OutputDirectories(job)) {
            if (!Command(command, text, what)) return false;
        }
        for (const Words& command : job.commands) {
            if (!Command(command, text, what)) return false;
        }
        out_ += "\n" + text;
        return true;
    }

    // Jobs whose directory the machine would not have, since the script
    // that could go with them has no file name.
    const std::vector<std::string>& homeless() const { return homeless_; }

private:
    bool InScriptDirectory(const std::vector<std::string>& inputs) const {
        for (const std::string& input : inputs) {
            if (input != settings_.scriptDirectory && IsWithin(input, settings_.scriptDirectory)) return true;
        }
        return false;
    }

    bool Files(const char* block, const std::vector<std::string>& files, std::string& text, std::string& what) {
        if (files.empty()) return true;
        std::vector<std::string> lines;
        for (const std::string& file : files) {
            std::string line;
            if (!FileLine(file, settings_.scriptDirectory, line, what)) return false;
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end());
        lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
        text += Indented(1, block);
        for (const std::string& line : lines) text += Indented(2, line);
        return true;
    }

    // Compilers do not make the directories they write into; the build
    // system does, and on the machine the job must.
    std::vector<Words> OutputDirectories(const ImportedJob& job) {
        Words directories;
        for (const std::string& output : job.outputs) {
            const std::string parent = RelativePath(ParentPath(output), settings_.scriptDirectory);
            if (parent != "." && std::find(directories.begin(), directories.end(), parent) == directories.end()) {
                directories.push_back(parent);
            }
        }
        if (directories.empty()) return {};
        std::sort(directories.begin(), directories.end());
        Words command = {"mkdir", "-p"};
        command.insert(command.end(), directories.begin(), directories.end());
        return {command};
    }

    bool Command(const Words& command, std::string& text, std::string& what) {
        for (size_t i = 0; i < command.size(); ++i) {
            if (!Argument(command[i], what)) return false;
            text += Indented(i == 0 ? 2 : 3, command[i]);
        }
        return true;
    }

    const ScriptSettings& settings_;
    std::string& out_;
    std::vector<std::string> homeless_;
};

}  // namespace

bool FitsOnScriptLine(const std::string& text, std::string& what) {
    if (text.empty()) {
        what = "is empty";
        return false;
    }
    if (text[0] == ' ' || text[0] == '#') {
        what = text[0] == ' ' ? "begins with a space" : "begins with '#', which makes a comment line";
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0; i < text.size();) {
        uint32_t code = 0;
        const uint32_t length = DecodeUtf8(bytes + i, static_cast<uint32_t>(text.size() - i), code);
        if (length == 0) {
            what = "is not UTF-8 text";
            return false;
        }
        if (code != '\t' && EndsOrVanishes(code)) {
            what = "holds a line end or a control character";
            return false;
        }
        i += length;
    }
    return true;
}

bool WriteScript(const ImportedBuild& build, const ScriptSettings& settings, std::string& script,
                 std::vector<std::string>& problems) {
    script = "# Made by kestrel-import from " + build.source + ".\n";
    script += "# Paths are relative to this script's directory, " + settings.scriptDirectory + ".\n";
    for (std::string local : build.leftHere) {
        std::replace(local.begin(), local.end(), '\n', ' ');
        script += "# Left to run here: " + local + "\n";
    }
    for (const MachineOption& machine : settings.machines) {
        script += "\n" + Indented(0, "machine " + machine.name) + Indented(1, "path") + Indented(2, machine.url);
    }
    JobWriter writer(settings, script);
    for (const ImportedJob& job : build.jobs) {
        std::string what;
        if (!writer.Write(job, what)) problems.push_back(job.name + ": " + what);
    }
    if (!writer.homeless().empty()) {
        problems.push_back(std::to_string(writer.homeless().size()) + " jobs (" + writer.homeless()[0] +
                           " the first) would run in " + settings.scriptDirectory +
                           ", which holds none of their inputs: give --output FILE, and the script goes with them");
    }
    script += "\n" + Indented(0, "project main") + Indented(1, "build");
    for (const ImportedJob& job : build.jobs) script += Indented(2, job.name);
    return problems.empty();
}

}  // namespace kestrel::importer

#include "import/import_run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "import/import_sources.h"
#include "import/project_paths.h"

namespace kestrel::importer {

const char kImportUsage[] =
    "usage: kestrel-import --ninja DIR [TARGET...] [options]\n"
    "       kestrel-import --compdb FILE [options]\n"
    "  Writes a kestrel build script from an existing build.\n"
    "  --ninja DIR              a ninja build directory (CMake, Meson ...); every step the\n"
    "                           targets need (\"all\" when none is named) becomes a job\n"
    "  --compdb FILE            a compile_commands.json: one job per compile, no link\n"
    "  --machine NAME=URL       a build machine (repeatable); the first takes the links and\n"
    "                           other steps, the compiles go to all (default local=kv://127.0.0.1:5017)\n"
    "  --compile-concurrency L  the concurrency of compile jobs: minimum, low, medium, high, maximum\n"
    "  --link-concurrency L     the same for links and archives\n"
    "  --local OUTPUT           leave the step that makes OUTPUT out of the script, to run here\n"
    "  --source DIR             one more directory whose files are sent with the jobs\n"
    "  --output FILE            the script (default: standard output, with paths relative to\n"
    "                           the current directory)\n";

namespace {

bool IsLevel(const std::string& level) {
    for (const char* known : {"minimum", "low", "medium", "high", "maximum"}) {
        if (level == known) return true;
    }
    return false;
}

bool ParseMachine(const std::string& text, MachineOption& machine, std::string& message) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        message = "--machine takes NAME=URL, not " + text;
        return false;
    }
    machine.name = text.substr(0, equals);
    machine.url = text.substr(equals + 1);
    if (machine.url.compare(0, 5, "kv://") != 0 && machine.url.compare(0, 6, "kvs://") != 0) {
        message = "--machine " + text + ": the address starts with kv:// or kvs://";
        return false;
    }
    return true;
}

// The value after an option; false (with the message) when it is missing.
bool Value(const std::vector<std::string>& arguments, size_t& i, std::string& value, std::string& message) {
    if (i + 1 >= arguments.size()) {
        message = arguments[i] + " needs a value";
        return false;
    }
    value = arguments[++i];
    return true;
}

bool WriteAtomically(const std::string& path, const std::string& text, std::string& problem) {
    const std::string temporary = path + ".new";
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        stream << text;
        stream.close();
        if (!stream) {
            problem = "cannot write " + temporary;
            std::filesystem::remove(temporary);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        problem = "cannot write " + path + ": " + error.message();
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

}  // namespace

bool ParseImportArguments(const std::vector<std::string>& arguments, ImportOptions& options, std::string& message) {
    bool targetsFollow = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return true;
        }
        if (argument.compare(0, 2, "--") != 0) {
            if (!targetsFollow) {
                message = "unexpected argument " + argument;
                return false;
            }
            options.targets.push_back(argument);
            continue;
        }
        targetsFollow = false;
        if (!Value(arguments, i, value, message)) return false;
        if (argument == "--ninja") {
            options.ninjaDirectory = value;
            targetsFollow = true;
        } else if (argument == "--compdb") {
            options.compilationDatabase = value;
        } else if (argument == "--machine") {
            MachineOption machine;
            if (!ParseMachine(value, machine, message)) return false;
            for (const MachineOption& known : options.machines) {
                if (known.name == machine.name) {
                    message = "--machine " + machine.name + " is given twice";
                    return false;
                }
            }
            options.machines.push_back(machine);
        } else if (argument == "--compile-concurrency" || argument == "--link-concurrency") {
            if (!IsLevel(value)) {
                message = argument + " takes minimum, low, medium, high or maximum, not " + value;
                return false;
            }
            (argument == "--compile-concurrency" ? options.compileConcurrency : options.linkConcurrency) = value;
        } else if (argument == "--local") {
            options.local.push_back(value);
        } else if (argument == "--source") {
            options.sources.push_back(value);
        } else if (argument == "--output") {
            options.output = value;
        } else {
            message = "unknown option " + argument;
            return false;
        }
    }
    if (options.ninjaDirectory.empty() == options.compilationDatabase.empty()) {
        message = "give either --ninja DIR or --compdb FILE";
        return false;
    }
    if (!options.compilationDatabase.empty() && !options.local.empty()) {
        message = "--local is for ninja builds: a compilation database has only compiles";
        return false;
    }
    return true;
}

bool MakeScript(const ImportOptions& options, const std::string& workingDirectory, std::string& script,
                std::vector<std::string>& problems) {
    ImportRequest request;
    request.scriptDirectory = options.output.empty() ? workingDirectory
                                                     : ParentPath(AbsolutePath(workingDirectory, options.output));
    for (const std::string& source : options.sources) request.sources.push_back(AbsolutePath(workingDirectory, source));
    request.local = options.local;
    request.scanThreads = std::max(1u, std::thread::hardware_concurrency());
    ImportedBuild build;
    const bool imported =
        options.ninjaDirectory.empty()
            ? ImportCompilationDatabase(AbsolutePath(workingDirectory, options.compilationDatabase), request, build,
                                        problems)
            : ImportNinja(AbsolutePath(workingDirectory, options.ninjaDirectory), options.targets, request, build,
                          problems);
    if (!imported) return false;
    ScriptSettings settings;
    settings.machines = options.machines;
    if (settings.machines.empty()) settings.machines.push_back({"local", "kv://127.0.0.1:5017"});
    settings.compileConcurrency = options.compileConcurrency;
    settings.linkConcurrency = options.linkConcurrency;
    settings.scriptDirectory = request.scriptDirectory;
    if (!options.output.empty()) settings.scriptFile = AbsolutePath(workingDirectory, options.output);
    return WriteScript(build, settings, script, problems);
}

int RunImport(const ImportOptions& options, const std::string& workingDirectory) {
    std::string script;
    std::vector<std::string> problems;
    if (MakeScript(options, workingDirectory, script, problems)) {
        std::string problem;
        if (options.output.empty()) {
            std::fwrite(script.data(), 1, script.size(), stdout);
            if (std::fflush(stdout) == 0) return 0;
            problems.push_back("cannot write the script to standard output");
        } else if (WriteAtomically(AbsolutePath(workingDirectory, options.output), script, problem)) {
            return 0;
        } else {
            problems.push_back(problem);
        }
    }
    for (const std::string& problem : problems) std::fprintf(stderr, "kestrel-import: %s\n", problem.c_str());
    if (problems.empty()) std::fprintf(stderr, "kestrel-import: the import failed\n");
    return 1;
}

}  // namespace kestrel::importer

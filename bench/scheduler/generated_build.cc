#include "generated_build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace kestrel::bench {

namespace {

constexpr int64_t kSourceTime = 1'600'000'000;

std::string Chain(uint32_t c) { return "c" + std::to_string(c); }
std::string JobName(uint32_t c, uint32_t k) { return Chain(c) + "k" + std::to_string(k); }
std::string Source(uint32_t c, uint32_t k, uint32_t s) {
    return "src/" + Chain(c) + "/k" + std::to_string(k) + "/s" + std::to_string(s) + ".c";
}
std::string Header(uint32_t h) { return "include/h" + std::to_string(h) + ".h"; }
std::string Object(uint32_t c, uint32_t k) { return "out/" + Chain(c) + "/k" + std::to_string(k) + ".o"; }
std::string Depfile(uint32_t c, uint32_t k) { return "out/" + Chain(c) + "/k" + std::to_string(k) + ".d"; }
std::string Program(uint32_t c) { return "bin/" + Chain(c); }

bool MakeDirectories(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool Touch(const std::string& root, const std::string& name, int64_t seconds, std::string& error) {
    const std::string path = root + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && MakeDirectories(path))
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    const bool ok = futimens(fd, times) == 0;
    close(fd);
    if (!ok) error = "cannot set the time of " + path;
    return ok;
}

struct Edge {
    std::string job;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    int64_t outputTime;
};

std::vector<Edge> Edges(const BuildShape& shape) {
    std::vector<Edge> edges;
    uint32_t nextHeader = 0;
    for (uint32_t c = 0; c < shape.chains; ++c) {
        const uint32_t compiles = shape.jobsPerChain - 1;
        for (uint32_t k = 0; k < compiles; ++k) {
            Edge edge{JobName(c, k), {}, {Object(c, k), Depfile(c, k)}, kSourceTime + 10 + k};
            for (uint32_t s = 0; s < shape.sourcesPerJob; ++s) edge.inputs.push_back(Source(c, k, s));
            for (uint32_t h = 0; h < shape.headersPerJob; ++h)
                edge.inputs.push_back(Header(nextHeader++ % shape.headers));
            if (k > 0) edge.inputs.push_back(Object(c, k - 1));
            edges.push_back(std::move(edge));
        }
        Edge link{Chain(c) + "link", {}, {Program(c)}, kSourceTime + 20 + compiles};
        for (uint32_t k = 0; k < compiles; ++k) link.inputs.push_back(Object(c, k));
        edges.push_back(std::move(link));
    }
    return edges;
}

bool WriteBuildFiles(const std::string& directory, const std::vector<Edge>& edges, std::string& error) {
    std::ofstream script(directory + "/build.txt");
    std::ofstream ninja(directory + "/build.ninja");
    script << "machine m\n  path\n    kv://builder\n";
    ninja << "rule touch\n  command = touch $out\n";
    for (const Edge& edge : edges) {
        script << "job " << edge.job << "\n  machine\n    m\n  input\n";
        for (const std::string& input : edge.inputs) script << "    " << input << "\n";
        script << "  output\n";
        for (const std::string& output : edge.outputs) script << "    " << output << "\n";
        script << "  command break on error\n    touch\n";
        ninja << "build";
        for (const std::string& output : edge.outputs) ninja << " " << output;
        ninja << ": touch";
        for (const std::string& input : edge.inputs) ninja << " " << input;
        ninja << "\n";
    }
    script << "project all\n  build\n";
    for (const Edge& edge : edges) script << "    " << edge.job << "\n";
    script.close();
    ninja.close();
    if (!script || !ninja) {
        error = "cannot write the build files in " + directory;
        return false;
    }
    return true;
}

// Sources (inputs under src/ or include/) at the source time, outputs at their edge's time.
bool TouchFiles(const std::string& directory, const std::vector<Edge>& edges, std::string& error) {
    for (const Edge& edge : edges) {
        for (const std::string& input : edge.inputs)
            if (input.compare(0, 4, "src/") == 0 && !Touch(directory, input, kSourceTime, error)) return false;
        for (const std::string& output : edge.outputs)
            if (!Touch(directory, output, edge.outputTime, error)) return false;
    }
    return true;
}

}  // namespace

bool GenerateFlatBuild(const std::string& directory, uint32_t jobs, std::string& error) {
    std::vector<Edge> edges;
    for (uint32_t j = 0; j < jobs; ++j) {
        const std::string n = std::to_string(j);
        const std::string folder = std::to_string(j / 1000);
        edges.push_back(Edge{"j" + n, {"src/" + folder + "/" + n + ".c"}, {"out/" + folder + "/" + n + ".o"},
                             kSourceTime + 10});
    }
    return WriteBuildFiles(directory, edges, error) && TouchFiles(directory, edges, error);
}

bool GenerateWideJob(const std::string& directory, uint32_t inputs, std::string& error) {
    Edge edge{"main", {}, {"out/main.o"}, kSourceTime + 10};
    for (uint32_t i = 0; i < inputs; ++i)
        edge.inputs.push_back("src/" + std::to_string(i / 1000) + "/file" + std::to_string(i) + ".c");
    const std::vector<Edge> edges{edge};
    return WriteBuildFiles(directory, edges, error) && TouchFiles(directory, edges, error);
}

uint64_t BuildShape::files() const {
    const uint64_t compiles = static_cast<uint64_t>(chains) * (jobsPerChain - 1);
    return compiles * (sourcesPerJob + 2) + chains + headers;
}

BuildShape ShapeWithJobs(uint32_t jobs) {
    BuildShape shape;
    shape.chains = jobs / shape.jobsPerChain;
    shape.headers = jobs / 10;
    return shape;
}

bool GenerateBuild(const std::string& directory, const BuildShape& shape, std::string& error) {
    const std::vector<Edge> edges = Edges(shape);
    if (!WriteBuildFiles(directory, edges, error)) return false;
    for (uint32_t h = 0; h < shape.headers; ++h)
        if (!Touch(directory, Header(h), kSourceTime, error)) return false;
    return TouchFiles(directory, edges, error);
}

}  // namespace kestrel::bench

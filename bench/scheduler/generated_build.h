// A generated build for the scheduler benchmarks: chains of compile jobs with
// shared headers (fan-in), each chain ending in a link job that reads every
// object of its chain. With 10,000 jobs there are about 100,000 files. The
// same build is written as a kestrel script and as a build.ninja, and every
// output is made newer than its inputs, so nothing needs to run.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::bench {

struct BuildShape {
    uint32_t chains = 100;
    uint32_t jobsPerChain = 100;  // the last one links
    uint32_t sourcesPerJob = 8;
    uint32_t headersPerJob = 3;
    uint32_t headers = 1000;

    uint32_t jobs() const { return chains * jobsPerChain; }
    uint64_t files() const;
};

// Shapes with `jobs` jobs (a multiple of 100).
BuildShape ShapeWithJobs(uint32_t jobs);

// Writes build.txt (project "all" lists every job), build.ninja and every
// file into `directory`, which must exist. False with `error` set on failure.
bool GenerateBuild(const std::string& directory, const BuildShape& shape, std::string& error);

// The same for `jobs` jobs of one input and one output each (about 120 bytes
// of script a job): what a job costs in memory beyond its lines.
bool GenerateFlatBuild(const std::string& directory, uint32_t jobs, std::string& error);

// One job "main" with `inputs` input lines and one output, in project "all":
// what an input line costs.
bool GenerateWideJob(const std::string& directory, uint32_t inputs, std::string& error);

}  // namespace kestrel::bench

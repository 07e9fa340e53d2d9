// Peak resident memory of writing and reading one archive, one step per
// process so that each high-water mark is its own:
//   paxgz_memory generate DIR MIB   (1 MiB files of text)
//   paxgz_memory write DIR ARCHIVE
//   paxgz_memory read ARCHIVE OUTDIR
// write and read print "peak_rss_kib N".
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_tree.h"

namespace {

long PeakKib() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The files GenerateTree makes, found again by walking the tree.
std::vector<kestrel::bench::TreeFile> ListTree(const std::string& root) {
    std::vector<kestrel::bench::TreeFile> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (!item.is_regular_file()) continue;
        const auto relative = std::filesystem::relative(item.path(), root);
        files.push_back({relative.parent_path().generic_string(), relative.filename().string(),
                         static_cast<uint64_t>(item.file_size())});
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: paxgz_memory generate DIR MIB | write DIR ARCHIVE | read ARCHIVE OUTDIR\n");
        return 1;
    }
    const std::string step = argv[1];
    if (step == "generate") {
        const uint64_t mib = std::strtoull(argv[3], nullptr, 10);
        kestrel::bench::GenerateTree(argv[2], static_cast<uint32_t>(mib), mib << 20);
        return 0;
    }
    if (step == "write") {
        const int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const uint64_t written = kestrel::bench::WriteArchive(argv[2], ListTree(argv[2]), fd);
        close(fd);
        std::printf("archive_bytes %llu\npeak_rss_kib %ld\n", static_cast<unsigned long long>(written), PeakKib());
        return written == 0 ? 1 : 0;
    }
    if (step == "read") {
        std::filesystem::create_directories(argv[3]);
        const bool ok = kestrel::bench::ReadArchive(argv[2], argv[3]);
        std::printf("peak_rss_kib %ld\n", PeakKib());
        return ok ? 0 : 1;
    }
    return 1;
}

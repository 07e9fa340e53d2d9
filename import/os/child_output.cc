#include "import/os/child_output.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kestrel::importer {
namespace {

// Closes what it holds when it goes.
struct Descriptor {
    int fd = -1;
    ~Descriptor() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

bool MakePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    readEnd.fd = ends[0];
    writeEnd.fd = ends[1];
    return true;
}

// Reads both pipes until both are closed, so that neither can fill and stall
// the child.
void Drain(Descriptor& out, Descriptor& err, ChildOutput& result) {
    char buffer[65536];
    while (out.fd >= 0 || err.fd >= 0) {
        pollfd watched[2] = {{out.fd, POLLIN, 0}, {err.fd, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        Descriptor* streams[2] = {&out, &err};
        std::string* texts[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (streams[i]->fd < 0 || watched[i].revents == 0) continue;
            const ssize_t count = read(streams[i]->fd, buffer, sizeof buffer);
            if (count > 0) {
                texts[i]->append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                streams[i]->Close();
            }
        }
    }
}

}  // namespace

bool RunChild(const std::vector<std::string>& argv, const std::string& directory, ChildOutput& result,
              std::string& problem) {
    result = ChildOutput{};
    Descriptor outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
        problem = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.fd, 2);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        problem = "cannot run " + argv[0] + ": " + std::strerror(failed);
        return false;
    }
    outWrite.Close();
    errWrite.Close();
    Drain(outRead, errRead, result);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            problem = "cannot wait for " + argv[0] + ": " + std::strerror(errno);
            return false;
        }
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

}  // namespace kestrel::importer

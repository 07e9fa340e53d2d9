#include "prep/ssh_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "support/test_support.h"

extern char** environ;

namespace kestrel::test {

namespace {

std::string MakeKey(const std::string& path) {
    const ProcessResult made =
        RunProcess({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "kestrel-test", "-f", path});
    if (made.exitCode != 0) return "ssh-keygen failed: " + made.err;
    return "";
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool Listening(uint16_t port) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return connected;
}

pid_t SpawnLogged(const std::vector<std::string>& argv, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> copy = argv;
    std::vector<char*> pointers;
    for (std::string& text : copy) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return result == 0 ? pid : -1;
}

std::string ArgumentRecorder(const std::string& directory) {
    return "for argument in \"$@\"; do printf '[%s]' \"$argument\"; done >> '" + directory +
           "/ssh_starts'\necho >> '" + directory + "/ssh_starts'\n";
}

}  // namespace

bool SshServerInstalled() { return access(kSshServerProgram, X_OK) == 0 && access(kSshClientProgram, X_OK) == 0; }

SshServer::~SshServer() {
    if (pid_ < 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

std::string SshServer::Start(const std::string& directory) {
    directory_ = directory;
    for (const char* key : {"host_key", "client_key", "stranger_key"}) {
        const std::string failure = MakeKey(directory + "/" + key);
        if (!failure.empty()) return failure;
    }
    WriteFile(directory + "/authorized_keys", ReadFile(directory + "/client_key.pub"));
    hostKey_ = Trimmed(ReadFile(directory + "/host_key.pub"));
    // Privilege separation needs its empty directory when sshd runs as root.
    if (geteuid() == 0) mkdir("/run/sshd", 0755);
    port_ = FreeLoopbackPort();
    std::ostringstream config;
    config << "Port " << port_ << "\n"
           << "ListenAddress 127.0.0.1\n"
           << "HostKey " << directory << "/host_key\n"
           << "PidFile none\n"
           << "AuthorizedKeysFile " << directory << "/authorized_keys\n"
           << "StrictModes no\n"
           << "PermitRootLogin prohibit-password\n"
           << "PubkeyAuthentication yes\n"
           << "PasswordAuthentication no\n"
           << "KbdInteractiveAuthentication no\n"
           << "UsePAM no\n"
           << "AllowTcpForwarding yes\n"
           << "LogLevel INFO\n";
    WriteFile(directory + "/sshd_config", config.str());
    pid_ = SpawnLogged({kSshServerProgram, "-D", "-e", "-f", directory + "/sshd_config"}, directory + "/sshd.log");
    if (pid_ < 0) return "cannot start sshd";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Listening(port_)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return "sshd ended: " + Log();
        }
        if (std::chrono::steady_clock::now() > deadline) return "sshd does not listen: " + Log();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
}

std::string SshServer::Log() const { return FileExists(directory_ + "/sshd.log") ? ReadFile(directory_ + "/sshd.log") : ""; }

bool SshServer::WaitForLog(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string SshServer::KnownHostsLine(const std::string& host) const {
    return "[" + host + "]:" + std::to_string(port_) + " " + hostKey_ + "\n";
}

void WriteSshWrapper(const std::string& directory, const SshServer& server, const std::string& identity) {
    WriteFile(directory + "/known_hosts", server.KnownHostsLine("localhost"));
    std::ostringstream config;
    config << "Host *\n"
           << "  Port " << server.port() << "\n"
           << "  IdentityFile " << identity << "\n"
           << "  IdentitiesOnly yes\n"
           << "  IdentityAgent none\n"
           << "  UserKnownHostsFile " << directory << "/known_hosts\n"
           << "  GlobalKnownHostsFile /dev/null\n"
           << "  StrictHostKeyChecking yes\n"
           << "  BatchMode yes\n"
           << "  AddressFamily inet\n"
           << "  ControlMaster no\n"
           << "  ControlPath none\n"
           << "  ConnectTimeout 10\n";
    WriteFile(directory + "/ssh_config", config.str());
    WriteScriptWrapper(directory, std::string("exec ") + kSshClientProgram + " -F '" + directory + "/ssh_config' \"$@\"");
}

void WriteScriptWrapper(const std::string& directory, const std::string& body) {
    const std::string path = directory + "/bin/ssh";
    WriteFile(path, "#!/bin/sh\n" + ArgumentRecorder(directory) + body + "\n");
    chmod(path.c_str(), 0755);
}

std::vector<std::string> SshStarts(const std::string& directory) {
    std::vector<std::string> starts;
    if (!FileExists(directory + "/ssh_starts")) return starts;
    std::istringstream lines(ReadFile(directory + "/ssh_starts"));
    for (std::string line; std::getline(lines, line);) starts.push_back(line);
    return starts;
}

std::string CurrentUser() {
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : "";
}

uint16_t FreeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    uint16_t port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

}  // namespace kestrel::test

// ssh.exe for the tests that run kestrel.exe under Wine, where a Windows
// program cannot watch the build machine's own ssh. It takes what the client
// gives ssh ("-N -L 127.0.0.1:L:127.0.0.1:R destination", other options
// before), listens on the local end of the forward and carries every
// connection made to it, unencrypted, to the remote end on this machine,
// until it is ended.
//
// Environment:
//   KESTREL_SSH_STANDIN_LOG      a file (Windows path) that gets one line per
//                                event: "start PID PARENT-PID COMMAND-LINE",
//                                "listening PID PORT", "exit PID CODE"
//                                (only when it ends by itself).
//   KESTREL_SSH_STANDIN_MODE     forward (the default): as above;
//                                fail-early: prints why on standard error, as
//                                ssh does, and exits with 255 at once;
//                                fail-once: fail-early when the log holds no
//                                earlier start, else forward;
//                                exit-after-N: forwards, then after N seconds
//                                prints why and exits with 255;
//                                hang: never listens, runs until ended.
//   KESTREL_SSH_STANDIN_MESSAGE  the last line printed when it gives up
//                                (default: "ssh: connect to host HOST port 22:
//                                Connection refused", HOST the destination
//                                without its user).
//   KESTREL_SSH_STANDIN_HEARTBEAT  a file the running process rewrites every
//                                100 ms with "PID TICKS", so that a test can
//                                see it still runs.
//
// Exit code 255 also for arguments it does not understand, after a message.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSshFailure = 255;

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Variable(const wchar_t* name) {
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

// One whole line appended: starts of several processes do not mix.
void Log(const std::string& line) {
    const std::wstring path = Variable(L"KESTREL_SSH_STANDIN_LOG");
    if (path.empty()) return;
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadWholeFile(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

std::string Pid() { return std::to_string(GetCurrentProcessId()); }

// The process that started this one (the client), or 0.
DWORD ParentPid() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

// Standard error is what the client keeps of ssh: raw bytes, no text mode.
void PrintError(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

[[noreturn]] void GiveUp(const std::string& destination, const std::string& debugLine) {
    std::string message = Narrow(Variable(L"KESTREL_SSH_STANDIN_MESSAGE"));
    if (message.empty()) {
        const std::string host = destination.substr(destination.rfind('@') + 1);
        message = "ssh: connect to host " + host + " port 22: Connection refused";
    }
    // A line before the reason, as ssh -v prints: only the last one tells.
    PrintError(debugLine);
    PrintError(message);
    Log("exit " + Pid() + " " + std::to_string(kSshFailure));
    ExitProcess(kSshFailure);
}

struct Forward {
    std::string bindAddress = "127.0.0.1";
    std::string localPort;
    std::string host;
    std::string hostPort;
};

// [bind_address:]port:host:hostport
bool ParseForward(const std::string& text, Forward& forward) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':', start)) {
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    parts.push_back(text.substr(start));
    if (parts.size() == 4) {
        forward.bindAddress = parts[0];
        parts.erase(parts.begin());
    }
    if (parts.size() != 3) return false;
    forward.localPort = parts[0];
    forward.host = parts[1];
    forward.hostPort = parts[2];
    return !forward.localPort.empty() && !forward.host.empty() && !forward.hostPort.empty();
}

struct Arguments {
    bool noCommand = false;
    std::vector<std::string> forwards;
    std::string destination;
};

// ssh's options that take a value.
bool TakesValue(wchar_t option) { return std::wcschr(L"BbcDEeFIiJLlmOoPpQRSWw", option) != nullptr; }

bool ParseArguments(int count, wchar_t** values, Arguments& arguments) {
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = values[i];
        if (argument.size() < 2 || argument[0] != L'-') {
            arguments.destination = Narrow(argument);
            // What follows would be a remote command, which -N refuses.
            return i + 1 == count;
        }
        for (size_t at = 1; at < argument.size(); ++at) {
            const wchar_t option = argument[at];
            if (option == L'N') arguments.noCommand = true;
            if (!TakesValue(option)) continue;
            std::wstring value = argument.substr(at + 1);
            if (value.empty()) {
                if (++i == count) return false;
                value = values[i];
            }
            if (option == L'L') arguments.forwards.push_back(Narrow(value));
            break;
        }
    }
    return false;
}

SOCKET Connected(const Forward& forward) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(forward.host.c_str(), forward.hostPort.c_str(), &hints, &found) != 0) return INVALID_SOCKET;
    SOCKET peer = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (peer != INVALID_SOCKET && connect(peer, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
        closesocket(peer);
        peer = INVALID_SOCKET;
    }
    freeaddrinfo(found);
    return peer;
}

// Copies one direction until its end, then passes the end on.
void Pump(SOCKET from, SOCKET to) {
    char buffer[65536];
    for (;;) {
        const int got = recv(from, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        for (int sent = 0; sent < got;) {
            const int step = send(to, buffer + sent, got - sent, 0);
            if (step <= 0) {
                shutdown(from, SD_RECEIVE);
                shutdown(to, SD_SEND);
                return;
            }
            sent += step;
        }
    }
    shutdown(to, SD_SEND);
}

void Carry(SOCKET client, Forward forward) {
    const SOCKET peer = Connected(forward);
    if (peer == INVALID_SOCKET) {
        PrintError("channel 2: open failed: connect failed: Connection refused");
        closesocket(client);
        return;
    }
    std::thread back(Pump, peer, client);
    Pump(client, peer);
    back.join();
    closesocket(client);
    closesocket(peer);
}

bool Listen(const Forward& forward, SOCKET& listener) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(forward.bindAddress.c_str(), forward.localPort.c_str(), &hints, &found) != 0) return false;
    listener = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const bool listening = listener != INVALID_SOCKET &&
                           bind(listener, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
                           listen(listener, SOMAXCONN) == 0;
    freeaddrinfo(found);
    return listening;
}

void Accept(SOCKET listener, Forward forward) {
    for (;;) {
        const SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        std::thread(Carry, client, forward).detach();
    }
}

void Heartbeat(std::wstring path) {
    for (unsigned long tick = 0;; ++tick) {
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const std::string text = Pid() + " " + std::to_string(tick) + "\n";
            DWORD written = 0;
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(file);
        }
        Sleep(100);
    }
}

bool StartedBefore() {
    const std::string log = ReadWholeFile(Variable(L"KESTREL_SSH_STANDIN_LOG"));
    size_t starts = 0;
    for (size_t at = log.find("start "); at != std::string::npos; at = log.find("\nstart ", at + 1)) ++starts;
    return starts > 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Log("start " + Pid() + " " + std::to_string(ParentPid()) + " " + Narrow(GetCommandLineW()));
    const std::wstring heartbeat = Variable(L"KESTREL_SSH_STANDIN_HEARTBEAT");
    if (!heartbeat.empty()) std::thread(Heartbeat, heartbeat).detach();

    Arguments arguments;
    Forward forward;
    if (!ParseArguments(argc, argv, arguments) || !arguments.noCommand || arguments.forwards.size() != 1 ||
        !ParseForward(arguments.forwards[0], forward)) {
        PrintError("usage: ssh -N -L [bind_address:]port:host:hostport destination");
        Log("exit " + Pid() + " " + std::to_string(kSshFailure));
        return kSshFailure;
    }
    const std::string debugLine = "debug1: Connecting to " + arguments.destination + " port 22.";
    const std::string mode = Narrow(Variable(L"KESTREL_SSH_STANDIN_MODE"));
    if (mode == "fail-early" || (mode == "fail-once" && !StartedBefore())) GiveUp(arguments.destination, debugLine);
    if (mode == "hang") {
        for (;;) Sleep(INFINITE);
    }

    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) GiveUp(arguments.destination, "debug1: no sockets");
    SOCKET listener = INVALID_SOCKET;
    if (!Listen(forward, listener))
        GiveUp(arguments.destination, "bind [" + forward.bindAddress + "]:" + forward.localPort + ": in use");
    Log("listening " + Pid() + " " + forward.localPort);
    std::thread(Accept, listener, forward).detach();

    constexpr char kExitAfter[] = "exit-after-";
    if (mode.rfind(kExitAfter, 0) == 0) {
        Sleep(static_cast<DWORD>(std::atoi(mode.c_str() + sizeof kExitAfter - 1)) * 1000);
        GiveUp(arguments.destination, debugLine);
    }
    for (;;) Sleep(INFINITE);
}

#include "agent/os/host.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace kestrel::agent::os {

uint32_t UserId() { return getuid(); }

std::string UserName() {
    const passwd* user = getpwuid(getuid());
    return user != nullptr && user->pw_name != nullptr ? user->pw_name : "uid " + std::to_string(getuid());
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

void ReadEnvironment(std::map<std::string, std::string>& environment) {
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr || equals == *entry) continue;
        environment.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), std::string(equals + 1));
    }
}

void DescribeSystem(std::string& name, std::string& machine) {
    utsname system{};
    uname(&system);
    name = system.sysname;
    machine = system.machine;
}

}  // namespace kestrel::agent::os

#include <string>
#include <vector>

#include "driver/startup.h"
#include "platform/arguments.h"

// The arguments arrive as UTF-8 whatever the system passed (UTF-16 on Windows).
int main(int argc, char** argv) {
    std::vector<std::string> arguments = kestrel::platform::ProgramArguments(argc, argv);
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return kestrel::RunKestrel(static_cast<int>(arguments.size()), pointers.data());
}

#include "platform/arguments.h"

namespace kestrel::platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

}  // namespace kestrel::platform

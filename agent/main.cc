// kestrel-agent: a build machine that kestrel clients connect to.
#include <cstdio>
#include <cstring>
#include <memory>

#include "agent/options.h"
#include "agent/os/keeper.h"
#include "agent/server.h"

int main(int argc, char** argv) {
    // The agent runs itself as the keeper of each command it starts.
    if (argc >= 2 && std::strcmp(argv[1], kestrel::agent::os::kJobKeeperOption) == 0) {
        return kestrel::agent::os::RunJobKeeper();
    }
    // The fault table makes the options large: keep them off the stack.
    auto options = std::make_unique<kestrel::agent::AgentOptions>();
    std::string message;
    switch (kestrel::agent::ParseAgentOptions(argc - 1, argv + 1, *options, message)) {
    case kestrel::agent::ParseOutcome::Help:
        std::fputs(kestrel::agent::AgentUsage(), stdout);
        return 0;
    case kestrel::agent::ParseOutcome::Failed:
        std::fprintf(stderr, "kestrel-agent: %s\n%s", message.c_str(), kestrel::agent::AgentUsage());
        return 1;
    case kestrel::agent::ParseOutcome::Run:
        break;
    }
    return kestrel::agent::RunServer(*options);
}

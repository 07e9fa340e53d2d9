#include "platform/exit_gate.h"

#include <atomic>

#include "platform/process.h"

namespace kestrel::platform {

namespace {

std::atomic<bool> gExitGateClosed{false};

}  // namespace

void CloseExitGate() { gExitGateClosed.store(true, std::memory_order_seq_cst); }

void StopAtExitGate() {
    // What a waiting thread sees after the gate closed can only come from
    // what was ended after it closed, so one load after the wait suffices.
    if (!gExitGateClosed.load(std::memory_order_seq_cst)) return;
    for (;;) SleepMilliseconds(1000);
}

}  // namespace kestrel::platform

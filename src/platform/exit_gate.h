// Ending the program at once (the panic) ends the helper processes it
// started first, and those endings show up elsewhere as closed connections
// and ended processes. The gate keeps the rest of the program from acting on
// them: once it is closed, a thread that comes back from a wait stops there
// until the process is gone, instead of reporting a failure or finishing the
// run.
#pragma once

namespace kestrel::platform {

// Closes the gate; callable from any thread, before ending what was started.
void CloseExitGate();

// Returns at once while the gate is open; otherwise never returns.
void StopAtExitGate();

}  // namespace kestrel::platform

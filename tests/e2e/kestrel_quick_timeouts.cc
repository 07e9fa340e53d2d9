// kestrel with a connection time-out of two seconds instead of ninety, for
// the tests of a machine that stays silent. Nothing else differs: the same
// driver runs, the panic relaunch included.
#include "client/connection.h"
#include "driver/startup.h"

int main(int argc, char** argv) {
    kestrel::SetRequestTimeoutForTests(2 * kestrel::kIoTicksPerSecond);
    return kestrel::RunKestrel(argc, argv);
}

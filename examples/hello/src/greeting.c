#include "greeting.h"

const char *greeting(void) { return "Hello from a kestrel build machine"; }

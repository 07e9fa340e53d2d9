#include <stdio.h>

#include "greeting.h"

int main(void) {
    puts(greeting());
    return 0;
}

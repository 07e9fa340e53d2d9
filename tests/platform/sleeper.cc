// Test-only program: sleeps for the seconds given as its argument, so that a
// test has a child that runs until it is ended, on every system.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const int seconds = argc >= 2 ? std::atoi(argv[1]) : 60;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 0;
}

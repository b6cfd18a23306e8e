#include <cstdio>

#include "console/command_loop.h"

int main() {
    // Line by line, so the console keeps its order on a terminal, a pipe or
    // a file, next to the device messages on standard error.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    InputReader reader;
    return RunCommandLoop(reader);
}

#include <iostream>
#include <string>
#include <vector>

#include "tools/Pkgtool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    pkgtool::Console console{std::cout, std::cerr};
    int status = pkgtool::runPkgtool(args, console);
    std::cout.flush();
    if (!std::cout) return status == pkgtool::kExitOk ? pkgtool::kExitIo : status;
    return status;
}

#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (auto status = pvd::RunCommandLine(args, std::cout, std::cerr)) return *status;
    std::cerr << "pacs-vantora-driver: the tray program is not available in this build\n";
    return 1;
}

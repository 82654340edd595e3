#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/gui_main.h"
#include "platform/environment.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    pvd::DistinguishAbnormalExit();
    std::setlocale(LC_ALL, "");  // dates and month names as the user's locale writes them
    const std::vector<std::string> args = pvd::CommandLineArguments(argc, argv);
    const bool show = args == std::vector<std::string>{"--show"};
    // The running instance is found through the tray program's own lock.
    if (args == std::vector<std::string>{"--quit"}) return pvd::QuitRunningInstance(pvd::kQuitTimeoutMs);
    if (!show) {
        if (auto status = pvd::RunCommandLine(args, std::cout, std::cerr)) return *status;
    }
    return pvd::RunGui(argc, argv, show);
}

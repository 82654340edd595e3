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
    if (!args.empty() && args[0] == "--quit" && args.size() <= 2) {
        const int status = pvd::QuitRunningInstance(pvd::kQuitTimeoutMs);
        return status != 0 || args.size() == 1 ? status : pvd::ReportFilesInUse(args[1]);
    }
    if (!show) {
        if (auto status = pvd::RunCommandLine(args, std::cout, std::cerr)) return *status;
    }
    return pvd::RunGui(argc, argv, show);
}

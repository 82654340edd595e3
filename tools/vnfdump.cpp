// vnfdump FILE [--json]: prints a dictation file's recording parameters and fields.
#include <iostream>
#include <string>

#include "vnf_reader.h"

int main(int argc, char** argv) {
    using namespace pvd::tools;
    std::string file;
    bool json = false;
    for (const std::string& a : Arguments(argc, argv)) {
        if (a == "--json") {
            json = true;
        } else if (a == "--help" || a == "-h") {
            std::cout << "Usage: vnfdump FILE [--json]\nPrints a dictation file's recording parameters and fields.\n";
            return 0;
        } else if (file.empty()) {
            file = a;
        } else {
            std::cerr << "Usage: vnfdump FILE [--json]\n";
            return 2;
        }
    }
    if (file.empty()) {
        std::cerr << "Usage: vnfdump FILE [--json]\n";
        return 2;
    }
    Json info;
    if (!ReadVnf(file, info)) {
        std::cerr << "vnfdump: " << file << " is missing or not a dictation file\n";
        return 1;
    }
    if (json) {
        std::cout << Dump(info, 2) << "\n";
        return 0;
    }
    std::cout << "sample_rate: " << info["sample_rate"] << "\nchannels: " << info["channels"] << "\nformat: " << info["format"]
              << "\nfields: " << info["fields"].size() << "\n";
    for (const auto& f : info["fields"])
        std::cout << "  " << f["name"].get<std::string>() << " = " << f["value"].get<std::string>() << "\n";
    return 0;
}

// demo-recorder open<path>: the stand-in recorder. It reads the dictation file
// through the format library and appends one JSON line per start to the file
// named by DEMO_RECORDER_LOG (standard output when unset).
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "vnf_reader.h"

int main(int argc, char** argv) {
    using namespace pvd::tools;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);  // when this start began, for latency measurements
    std::string arg = argc > 1 ? argv[1] : "";
    Json line{{"pid", static_cast<long>(getpid())},
              {"started_ns", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec},
              {"argc", argc - 1},
              {"argument", arg}};
    if (arg.rfind("open", 0) != 0) {
        line["error"] = "expected open<path>";
    } else {
        const std::string path = arg.substr(4);
        line["path"] = path;
        Json info;
        if (ReadVnf(path, info)) {
            line["fields"] = info["fields"];
        } else {
            line["error"] = "cannot read the dictation file";
        }
    }
    const std::string text = Dump(line) + "\n";
    const char* log = std::getenv("DEMO_RECORDER_LOG");
    int fd = (log && *log) ? open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : STDOUT_FILENO;
    if (fd < 0) return 1;
    // One write per start, so that concurrent starts never interleave.
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ok && line.find("error") == line.end() ? 0 : 1;
}

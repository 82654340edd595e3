/* stamp-recorder open<path>: the least a recorder can do, for the latency
 * bench. Appends "<CLOCK_REALTIME at its start, in ns> <argument>\n" to the
 * file named by STAMP_RECORDER_LOG with one O_APPEND write, so that
 * concurrent starts never interleave, and exits. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const char *arg = argc > 1 ? argv[1] : "";
    const char *log = getenv("STAMP_RECORDER_LOG");
    if (!log || !*log) return 2;
    const size_t size = strlen(arg) + 32;
    char *line = malloc(size);
    if (!line) return 1;
    const int len = snprintf(line, size, "%lld %s\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec, arg);
    const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int ok = fd >= 0 && len > 0 && write(fd, line, (size_t)len) == (ssize_t)len;
    free(line);
    return ok ? 0 : 1;
}

// bench_floor DRAFTS ORDER_FILE RECORDER: the least a launch needs, the yardstick
// that the latency bench holds the program against. On each completed write of
// the order file (closed after writing, or moved into place) it reads the whole
// file, parses it with libxml2, publishes a durable dictation file for the order
// and starts the recorder detached. Nothing is cached from one rewrite to the
// next: every launch pays for the read, the parse, both fsyncs and the spawn.
// Prints "ready" once the watch is in place.
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

using Fields = std::vector<std::pair<std::string, std::string>>;

bool ReadAll(const std::string& path, std::string& out) {
    Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (f.fd < 0) return false;
    struct stat st{};
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

bool Named(const xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE && !n->ns && std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

std::string TextOf(const xmlNode* n) {
    xmlChar* t = xmlNodeGetContent(n);
    std::string s = t ? reinterpret_cast<const char*>(t) : "";
    xmlFree(t);
    return s;
}

// The order's values from DictationData/New, as the program's fixed-layout
// loader takes them: the four named values first, then every child as XML_<tag>.
bool ParseOrder(const std::string& bytes, std::string& mrn, std::string& accession, Fields& fields) {
    xmlDoc* doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "order.xml", nullptr, XML_PARSE_NONET);
    if (!doc) return false;
    const xmlNode* root = xmlDocGetRootElement(doc);
    const xmlNode* block = nullptr;
    if (root && Named(root, "DictationData"))
        for (const xmlNode* c = root->children; c && !block; c = c->next)
            if (Named(c, "New")) block = c;
    if (!block) {
        xmlFreeDoc(doc);
        return false;
    }
    std::string study, patient;
    Fields children;
    const char* wanted[] = {"PatientID", "AccessionNumber", "StudyDescription", "PatientName"};
    std::string* targets[] = {&mrn, &accession, &study, &patient};
    bool seen[4] = {};
    for (const xmlNode* c = block->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        std::string text = TextOf(c);
        for (int i = 0; i < 4; ++i)
            if (!seen[i] && Named(c, wanted[i])) {
                *targets[i] = text;
                seen[i] = true;
            }
        children.emplace_back("XML_" + std::string(reinterpret_cast<const char*>(c->name)), std::move(text));
    }
    xmlFreeDoc(doc);

    char date[32] = "", clock[16] = "";
    const std::time_t now = std::time(nullptr);
    struct tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%d-%b-%Y", &local);
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    fields = {{"D_Created", date}, {"T_Created", clock}, {"F_Subject", mrn},
              {"F_Matter", patient}, {"F_DocName", study}, {"F_DocType", accession}};
    for (auto& c : children) fields.push_back(std::move(c));
    return true;
}

void Put16(std::string& b, std::uint16_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8);
}
void Put32(std::string& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The dictation file's bytes, laid out as the format library writes them:
// 11025 Hz, one channel, wave-format code 0 (16-bit PCM), an empty data chunk.
std::string Serialize(const Fields& fields) {
    constexpr std::uint32_t rate = 11025;
    constexpr std::uint16_t channels = 1, bits = 16, align = channels * bits / 8;
    std::string fmt;
    Put16(fmt, 1);
    Put16(fmt, channels);
    Put32(fmt, rate);
    Put32(fmt, rate * align);
    Put16(fmt, align);
    Put16(fmt, bits);
    std::string vnff = "VNF1";
    Put16(vnff, 0);
    Put16(vnff, 0);
    Put32(vnff, static_cast<std::uint32_t>(fields.size()));
    for (const auto& [name, value] : fields) {
        Put32(vnff, static_cast<std::uint32_t>(name.size()));
        vnff += name;
        Put32(vnff, static_cast<std::uint32_t>(value.size()));
        vnff += value;
    }
    std::string body = "WAVEfmt ";
    Put32(body, static_cast<std::uint32_t>(fmt.size()));
    body += fmt;
    body += "vnff";
    Put32(body, static_cast<std::uint32_t>(vnff.size()));
    body += vnff;
    if (vnff.size() % 2) body += '\0';
    body += "data";
    Put32(body, 0);
    std::string file = "RIFF";
    Put32(file, static_cast<std::uint32_t>(body.size()));
    return file + body;
}

// Writes the file unnamed, syncs it, then gives it its name without replacing
// anything: an existing file of that name is reused, as the program does.
bool Publish(int drafts, const std::string& name, const std::string& bytes) {
    Fd f(openat(drafts, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (f.fd < 0) return false;
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = write(f.fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    if (fsync(f.fd) != 0) return false;
    const std::string self = "/proc/self/fd/" + std::to_string(f.fd);
    if (linkat(AT_FDCWD, self.c_str(), drafts, name.c_str(), AT_SYMLINK_FOLLOW) != 0) return errno == EEXIST;
    return fsync(drafts) == 0;
}

bool StartRecorder(const std::string& recorder, const std::string& path) {
    std::string argument = "open" + path;
    char* argv[] = {const_cast<char*>(recorder.c_str()), argument.data(), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
    flags |= POSIX_SPAWN_SETSID;
#endif
    posix_spawnattr_setflags(&attr, flags);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) std::fprintf(stderr, "bench_floor: cannot start %s: %s\n", argv[0], std::strerror(rc));
    return rc == 0;
}

void Launch(const std::string& orderPath, int drafts, const std::string& draftsPath, const std::string& recorder) {
    std::string bytes, mrn, accession;
    Fields fields;
    if (!ReadAll(orderPath, bytes) || !ParseOrder(bytes, mrn, accession, fields)) return;
    // Values that cannot name a file in the drafts folder are not an order.
    if (mrn.empty() || accession.empty() || (mrn + accession).find('/') != std::string::npos) return;
    const std::string name = mrn + "_" + accession + ".iaf";
    if (!Publish(drafts, name, Serialize(fields))) {
        std::fprintf(stderr, "bench_floor: unable to create %s/%s\n", draftsPath.c_str(), name.c_str());
        return;
    }
    StartRecorder(recorder, draftsPath + "/" + name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_floor DRAFTS ORDER_FILE RECORDER\n");
        return 2;
    }
    const std::string draftsPath = argv[1], orderPath = argv[2], recorder = argv[3];
    const auto slash = orderPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : orderPath.substr(0, slash ? slash : 1);
    const std::string name = slash == std::string::npos ? orderPath : orderPath.substr(slash + 1);

    // Children are never waited for; the kernel reaps them.
    std::signal(SIGCHLD, SIG_IGN);
    xmlInitParser();
    Fd drafts(open(draftsPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd watch(inotify_init1(IN_CLOEXEC));
    if (drafts.fd < 0 || watch.fd < 0 || inotify_add_watch(watch.fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        std::perror("bench_floor");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);

    alignas(inotify_event) char buf[65536];
    for (;;) {
        ssize_t n = read(watch.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        // One launch per batch: the file read afterwards is the newest version.
        bool changed = false;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if ((ev->mask & IN_Q_OVERFLOW) || (ev->len && name == ev->name)) changed = true;
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
        if (changed) Launch(orderPath, drafts.fd, draftsPath, recorder);
    }
}

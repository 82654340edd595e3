#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pvd {

namespace {

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity id;
    id.exists = true;
    id.regular = S_ISREG(st.st_mode);
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.fileId = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::int64_t>(st.st_size);
    id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    id.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return id;
}

}  // namespace

FileIdentity StatFileIdentity(const std::string& path) {
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0) return {};
    return IdentityOf(st);
}

PathKind LinkKind(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Other;
    return S_ISREG(st.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error,
                   FileIdentity* identity, bool* stable) {
    bytes.clear();
    if (identity) *identity = {};
    if (stable) *stable = true;
    int fd = -1;
    auto fail = [&](std::string why) {
        bytes.clear();
        if (fd >= 0) close(fd);
        if (error) *error = std::move(why);
        return false;
    };
    if (path.empty()) return fail("No file name");
    // O_NONBLOCK: opening a FIFO with no writer, or a device, must not hang us.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return fail("Cannot open file " + path + ": " + std::strerror(errno));
    struct stat before{};
    if (fstat(fd, &before) != 0) return fail("Cannot read file " + path + ": " + std::strerror(errno));
    if (!S_ISREG(before.st_mode)) return fail("File " + path + " is not a regular file");
    if (static_cast<std::uint64_t>(before.st_size) > maxBytes)
        return fail("File " + path + " is larger than " + std::to_string(maxBytes) + " bytes");
    bytes.reserve(static_cast<std::size_t>(before.st_size));
    char buffer[64 * 1024];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("Cannot read file " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) return fail("File " + path + " is larger than " + std::to_string(maxBytes) + " bytes");
    }
    struct stat after{};
    if (stable) *stable = fstat(fd, &after) == 0 && IdentityOf(after) == IdentityOf(before) &&
                          static_cast<std::int64_t>(bytes.size()) == static_cast<std::int64_t>(before.st_size);
    if (identity) *identity = IdentityOf(before);
    close(fd);
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string tmp = dir + "/." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    struct stat old{};
    fchmod(fd, stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

}  // namespace pvd

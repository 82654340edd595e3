/* Makes this process's folders behave as exFAT and FUSE mounts do, for the
 * tests: each switch is an environment variable, read at every call, so a
 * test can turn it on and off.
 *   PVD_NO_TMPFILE   open(O_TMPFILE) fails with EOPNOTSUPP; set to EISDIR or
 *                    EINVAL, with what older kernels and some mounts say
 *   PVD_NO_RENAMEAT2 renameat2 fails with EINVAL
 *   PVD_NO_LINKS     link and linkat fail with EPERM
 *   PVD_NO_TEMPFILES mkostemps fails with EDQUOT, as on a user over quota
 *   PVD_FAIL_CLOSE   closing one of the format library's hidden temporaries
 *                    (".vnf-" names) reports EIO, as NFS reports a write that
 *                    failed late; the descriptor is closed all the same
 *   PVD_SHORT_WRITES a write to a file takes one byte a call, as a signal or
 *                    a pipe-like mount may cut it short
 *   PVD_READ_LEAVES_EINTR a read that succeeds leaves errno at EINTR, which
 *                    POSIX allows: only a failed call sets errno
 *   PVD_SWAP_AT_OPEN NAME=TARGET: the first openat of a folder NAME replaces
 *                    it by a link to TARGET just before the open, as another
 *                    user who wins the race between a check and the open does
 * Loaded with LD_PRELOAD, or linked into a test program before the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int On(const char *name) {
    const char *v = getenv(name);
    return v && *v && *v != '0';
}

static int NoTmpfileErrno(const char *v) {
    if (strcmp(v, "EISDIR") == 0) return EISDIR;
    if (strcmp(v, "EINVAL") == 0) return EINVAL;
    return EOPNOTSUPP;
}

typedef void (*AnyFunction)(void);
static AnyFunction Next(const char *name) {
    void *p = dlsym(RTLD_NEXT, name);
    AnyFunction f;
    memcpy(&f, &p, sizeof f);
    return f;
}
#define NEXT(name, type) ((type)Next(name))

#define OPEN_SHIM(fn, args, call_args)                                               \
    int fn args {                                                                    \
        mode_t mode = 0;                                                             \
        if (flags & (O_CREAT | __O_TMPFILE)) {                                       \
            va_list ap;                                                              \
            va_start(ap, flags);                                                     \
            mode = va_arg(ap, mode_t);                                               \
            va_end(ap);                                                              \
        }                                                                            \
        if ((flags & __O_TMPFILE) == __O_TMPFILE && On("PVD_NO_TMPFILE")) {         \
            errno = NoTmpfileErrno(getenv("PVD_NO_TMPFILE"));                        \
            return -1;                                                               \
        }                                                                            \
        if (flags & O_DIRECTORY) SwapAtOpen(SHIM_DIR, path);                          \
        return call_args;                                                            \
    }

static void SwapAtOpen(int dir, const char *path) {
    static char done[4096];
    const char *swap = getenv("PVD_SWAP_AT_OPEN"), *eq = swap ? strchr(swap, '=') : NULL;
    if (!eq || strcmp(swap, done) == 0) return;
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    if (strlen(base) != (size_t)(eq - swap) || strncmp(base, swap, (size_t)(eq - swap)) != 0) return;
    snprintf(done, sizeof done, "%s", swap);
    char moved[4096];
    snprintf(moved, sizeof moved, "%s.moved", path);
    if (renameat(dir, path, dir, moved) == 0) symlinkat(eq + 1, dir, path);
}

#define SHIM_DIR AT_FDCWD
OPEN_SHIM(open, (const char *path, int flags, ...), NEXT("open", int (*)(const char *, int, ...))(path, flags, mode))
OPEN_SHIM(open64, (const char *path, int flags, ...), NEXT("open64", int (*)(const char *, int, ...))(path, flags, mode))
#undef SHIM_DIR
#define SHIM_DIR dir
OPEN_SHIM(openat, (int dir, const char *path, int flags, ...),
          NEXT("openat", int (*)(int, const char *, int, ...))(dir, path, flags, mode))
OPEN_SHIM(openat64, (int dir, const char *path, int flags, ...),
          NEXT("openat64", int (*)(int, const char *, int, ...))(dir, path, flags, mode))

int renameat2(int olddir, const char *from, int newdir, const char *to, unsigned int flags) {
    if (On("PVD_NO_RENAMEAT2")) {
        errno = EINVAL;
        return -1;
    }
    return NEXT("renameat2", int (*)(int, const char *, int, const char *, unsigned int))(olddir, from, newdir, to, flags);
}

int link(const char *from, const char *to) {
    if (On("PVD_NO_LINKS")) {
        errno = EPERM;
        return -1;
    }
    return NEXT("link", int (*)(const char *, const char *))(from, to);
}

int linkat(int olddir, const char *from, int newdir, const char *to, int flags) {
    if (On("PVD_NO_LINKS")) {
        errno = EPERM;
        return -1;
    }
    return NEXT("linkat", int (*)(int, const char *, int, const char *, int))(olddir, from, newdir, to, flags);
}

int mkostemps(char *tmpl, int suffixlen, int flags) {
    if (On("PVD_NO_TEMPFILES")) {
        errno = EDQUOT;
        return -1;
    }
    return NEXT("mkostemps", int (*)(char *, int, int))(tmpl, suffixlen, flags);
}

ssize_t write(int fd, const void *buf, size_t n) {
    if (fd > 2 && n > 1 && On("PVD_SHORT_WRITES")) n = 1;
    return NEXT("write", ssize_t (*)(int, const void *, size_t))(fd, buf, n);
}

ssize_t read(int fd, void *buf, size_t n) {
    const ssize_t r = NEXT("read", ssize_t (*)(int, void *, size_t))(fd, buf, n);
    if (r >= 0 && On("PVD_READ_LEAVES_EINTR")) errno = EINTR;
    return r;
}

int close(int fd) {
    int temporary = 0;
    if (On("PVD_FAIL_CLOSE")) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = 0;
            const char *base = strrchr(target, '/');
            temporary = base && strncmp(base + 1, ".vnf-", 5) == 0 && strstr(base, ".vnf-publish.lock") == NULL;
        }
    }
    const int r = NEXT("close", int (*)(int))(fd);
    if (r == 0 && temporary) {
        errno = EIO;
        return -1;
    }
    return r;
}

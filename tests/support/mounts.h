// File systems of other kinds for the running-program tests, mounted through
// FUSE in a scratch folder and let go of however a test ends: a bind mount
// whose writes are not reported and whose daemon can be stopped (a share, a
// hanging mount), and an exFAT image (no links, one-second times).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "child_process.h"

namespace pvd::test {

// A small exFAT image mounted through FUSE on a folder, as a desktop mounts
// a stick: unmounted (and its loop device let go) when this ends.
class ExfatMount {
public:
    // Empty when mounted, else why not.
    std::string Mount(const std::filesystem::path& scratch) {
        mountPoint_ = scratch / "exfat";
        std::filesystem::create_directories(mountPoint_);
        const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fuse < 0) return "/dev/fuse cannot be opened here";
        close(fuse);
        if (Sh("command -v mkfs.exfat && command -v mount.exfat-fuse") != 0) return "mkfs.exfat or mount.exfat-fuse is not installed";
        const std::string image = (scratch / "exfat.img").string();
        if (Sh("truncate -s 24M '" + image + "' && mkfs.exfat '" + image + "'") != 0) return "mkfs.exfat failed";
        // As a user, FUSE mounts the image itself; root's mount asks for a
        // block device.
        if (Sh("mount.exfat-fuse '" + image + "' '" + mountPoint_.string() + "'") == 0) return Mounted();
        const std::string loopFile = (scratch / "exfat.loop").string();
        if (Sh("losetup -f --show '" + image + "' > '" + loopFile + "'") != 0) return "no loop device for the image";
        loop_ = ReadFile(loopFile);
        while (!loop_.empty() && loop_.back() == '\n') loop_.pop_back();
        if (Sh("mount.exfat-fuse '" + loop_ + "' '" + mountPoint_.string() + "'") != 0) return "mount.exfat-fuse failed";
        return Mounted();
    }
    ~ExfatMount() {
        if (mounted_) {
            for (int tries = 0; tries < 50 && Sh("umount '" + mountPoint_.string() + "' || fusermount3 -u '" + mountPoint_.string() + "'") != 0;
                 ++tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!loop_.empty()) {
            for (int tries = 0; tries < 50 && Sh("losetup -d '" + loop_ + "'") != 0; ++tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    const std::filesystem::path& path() const { return mountPoint_; }

private:
    static int Sh(const std::string& command) { return std::system(("(" + command + ") > /dev/null 2>&1").c_str()); }
    std::string Mounted() {
        // The daemon serves the folder once it answers as a FUSE file system.
        for (int waited = 0; waited < 5000; waited += 50) {
            if (Sh("findmnt -n -t fuseblk,fuse '" + mountPoint_.string() + "'") == 0) {
                mounted_ = true;
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "the exFAT image was not mounted through FUSE";
    }
    std::filesystem::path mountPoint_;
    std::string loop_;
    bool mounted_ = false;
};

// A FUSE mount of `backing` at `at` (bindfs): writes to the backing folder
// reach the mount without any notification, and stopping the daemon makes
// the mount hang.
class FuseMount {
public:
    FuseMount(const std::string& backing, const std::string& at) : at_(at) {
        std::filesystem::create_directories(backing);
        std::filesystem::create_directories(at);
        struct stat parent{};
        stat(at.c_str(), &parent);
        // Nothing cached: every read sees what the other side wrote, as on a share.
        daemon_ = SpawnTo({"/usr/bin/bindfs", "-f", "-o", "direct_io,attr_timeout=0,entry_timeout=0", backing, at},
                                backing + ".out", backing + ".out");
        for (int waited = 0; daemon_ != kNoChild && waited < 5000 && !mounted(parent.st_dev); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!mounted(parent.st_dev)) why_ = "no FUSE mount could be made here (bindfs, /dev/fuse): " + ReadFile(backing + ".out");
    }
    ~FuseMount() {
        if (daemon_ == kNoChild) return;
        kill(daemon_, SIGCONT);
        Run({"/bin/umount", "-l", at_}, std::filesystem::path(at_).parent_path().string());
        kill(daemon_, SIGTERM);
        WaitExit(daemon_);
    }
    const std::string& unavailable() const { return why_; }
    void Hang() { kill(daemon_, SIGSTOP); }
    void Resume() { kill(daemon_, SIGCONT); }

private:
    bool mounted(dev_t parent) const {
        struct stat st{};
        return stat(at_.c_str(), &st) == 0 && st.st_dev != parent;
    }
    std::string at_, why_;
    ChildId daemon_ = kNoChild;
};

}  // namespace pvd::test

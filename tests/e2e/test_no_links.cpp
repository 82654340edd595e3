// Folders without unnamed files, no-replace renames or links, with the real
// program: any folder made so by the no-links shim (every run), and an exFAT
// image mounted through FUSE where this machine can mount one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>

#include <nlohmann/json.hpp>

#include "program_fixture.h"
#include "vnfformat.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::ReadFile;
using test::WriteFile;

class NoLinks : public test::Program {
protected:
    std::string orderFile;

    void SetUp() override {
        Program::SetUp();
        orderFile = dir / "order.xml";
        WriteFile(orderFile, Order("987", "A678"));
    }
    test::RunResult Launch() { return test::Run({test::Bin("pacs-vantora-driver"), "--launch", orderFile}, dir.path().string()); }
    // The fields of a complete dictation file, as vnfdump reads it; nothing
    // when it is not one.
    std::optional<json> Dump(const std::string& path) {
        auto r = test::Run({test::Bin("vnfdump"), path, "--json"}, dir.path().string());
        if (r.status != 0) return std::nullopt;
        return json::parse(r.out)["fields"];
    }
    // Whether the file at path is the complete one for Order("987", "A678").
    void ExpectComplete(const std::string& path) {
        auto fields = Dump(path);
        ASSERT_TRUE(fields) << path << " is no complete dictation file";
        ASSERT_GE(fields->size(), 6u);
        EXPECT_EQ((*fields)[2], (json{{"name", "F_Subject"}, {"value", "987"}}));
        EXPECT_EQ((*fields)[3], (json{{"name", "F_Matter"}, {"value", "P 987"}}));
        EXPECT_EQ((*fields)[5], (json{{"name", "F_DocType"}, {"value", "A678"}}));
    }
    json LastLaunch() {
        auto r = test::Run({test::Bin("pacs-vantora-driver"), "--journal", "--json", "1"}, dir.path().string());
        return r.status == 0 ? json::parse(r.out) : json{};
    }
    std::vector<std::string> Names(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(NoLinks, TheProgramCreatesReusesAndSaysWhyItFailsOnAnyFolderWithoutLinks) {
    env.set("LD_PRELOAD", PVD_NO_LINKS_SHIM).set("PVD_NO_TMPFILE", "1").set("PVD_NO_RENAMEAT2", "1").set("PVD_NO_LINKS", "1");
    const std::string path = drafts + "/987_A678.iaf";
    auto r = Launch();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, path + "\n");
    ExpectComplete(path);
    EXPECT_EQ(Names(drafts), (std::vector<std::string>{".vnf-publish.lock", "987_A678.iaf"}));
    const std::string bytes = ReadFile(path);
    EXPECT_EQ(Launch().status, 0);  // reused, not a byte changed
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(test::WaitForLines(recLog, 2).size(), 2u);

    // A failure names the path, the step and the system's words, in the
    // log and in the journal.
    std::filesystem::remove_all(drafts);
    r = Launch();
    EXPECT_EQ(r.status, 1);
    const std::string why = "create the file: " + std::string(std::strerror(ENOENT));
    const auto log = test::WaitForLines(LogFile(), 0, 0);
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().ends_with(" - Unable to create " + path + ": " + why)) << log.back();
    const json launch = LastLaunch();
    EXPECT_EQ(launch["outcome"], "failed") << launch;
    EXPECT_EQ(launch["dictation"], path);
    EXPECT_EQ(launch["reason"], why);
}

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

TEST_F(NoLinks, OnExfatThroughFuseKilledLaunchesNeverLeaveAHalfFile) {
    ExfatMount exfat;
    const std::string why = exfat.Mount(dir.path());
    if (!why.empty()) GTEST_SKIP() << "no exFAT through FUSE here: " << why;
    const std::string root = exfat.path().string();
    std::filesystem::create_directories(root + "/Drafts");
    Configure(root, "");  // no recorder: each launch only makes or reuses the file
    const std::string folder = root + "/Drafts", path = folder + "/987_A678.iaf";

    const auto start = std::chrono::steady_clock::now();
    auto r = Launch();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectComplete(path);

    // Killed at random moments of a launch that creates the file: whatever
    // has the dictation name is complete, and the next launch succeeds.
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> moment(0, took.count());
    int completeAfterKill = 0;
    for (int kill = 0; kill < 30; ++kill) {
        std::filesystem::remove(path);
        const test::ChildId launch =
            test::SpawnTo({test::Bin("pacs-vantora-driver"), "--launch", orderFile}, dir / ".kill.out", dir / ".kill.out");
        ASSERT_NE(launch, test::kNoChild);
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(launch, SIGKILL);
        test::WaitExit(launch);
        for (const std::string& name : Names(folder)) {
            if (name.ends_with(".iaf")) {
                ExpectComplete(folder + "/" + name);
                ++completeAfterKill;
            } else {
                // Only the lock and hidden temporaries, which a later sweep removes.
                EXPECT_TRUE(name == ".vnf-publish.lock" || (name.starts_with(".vnf-") && name.ends_with(".tmp"))) << name;
            }
        }
        r = Launch();
        ASSERT_EQ(r.status, 0) << "after kill " << kill << ": " << r.err;
        ExpectComplete(path);
    }
    std::cout << completeAfterKill << " of 30 killed launches had published their file\n";
    // What they left is swept there as anywhere once it is old; the lock stays.
    // (Both times: exfat-fuse ignores a modification time set alone.)
    const timespec hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (const std::string& name : Names(folder)) {
        if (name.ends_with(".tmp")) {
            EXPECT_EQ(utimensat(AT_FDCWD, (folder + "/" + name).c_str(), hourAgo, 0), 0) << name;
        }
    }
    VNFRemoveStaleTemporaries(folder.c_str());
    EXPECT_EQ(Names(folder), (std::vector<std::string>{".vnf-publish.lock", "987_A678.iaf"}));

    // A full exFAT image: the reason is the system's own.
    std::filesystem::remove(path);
    WriteFile(dir / "order.xml", "<DictationData><New><PatientID>987</PatientID><AccessionNumber>A678</AccessionNumber><Notes>" +
                                     std::string(256 * 1024, 'n') + "</Notes></New></DictationData>");
    {
        std::ofstream fill(folder + "/filler", std::ios::binary);
        const std::string block(1 << 20, 'f');
        while (fill.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    r = Launch();
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(path));
    const json launch = LastLaunch();
    EXPECT_EQ(launch["reason"], "save the file: " + std::string(std::strerror(ENOSPC))) << launch;
    std::filesystem::remove(folder + "/filler");
}

}  // namespace
}  // namespace pvd

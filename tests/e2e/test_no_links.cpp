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

#include "mounts.h"
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
        const auto events = Journal(1);
        return events.empty() ? json{} : events.back();
    }
    std::vector<std::string> Names(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(NoLinks, TheProgramCreatesReusesAndSaysWhyItFailsOnAnyFolderWithoutLinks) {
    // A sanitised build checks that its runtime comes first: the shim may.
    env.set("ASAN_OPTIONS", "verify_asan_link_order=0").set("LD_PRELOAD", PVD_NO_LINKS_SHIM).set("PVD_NO_TMPFILE", "1").set("PVD_NO_RENAMEAT2", "1").set("PVD_NO_LINKS", "1");
    const std::string path = drafts + "/987_A678.iaf";
    // A user whose umask keeps everything private: every user of the folder
    // must still be able to open the lock to take it.
    const mode_t umaskBefore = umask(077);
    auto r = Launch();
    umask(umaskBefore);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, path + "\n");
    ExpectComplete(path);
    EXPECT_EQ(Names(drafts), (std::vector<std::string>{".vnf-publish.lock", "987_A678.iaf"}));
    struct stat lock{};
    ASSERT_EQ(stat((drafts + "/.vnf-publish.lock").c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 0444, 0444u);
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

using test::ExfatMount;

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
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path));
    const json launch = LastLaunch();
    EXPECT_EQ(launch["reason"], "save the file: " + std::string(std::strerror(ENOSPC))) << launch;
    std::filesystem::remove(folder + "/filler");
}

}  // namespace
}  // namespace pvd

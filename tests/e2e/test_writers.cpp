// The running program against writers that are slow or unseen, and against a
// drafts folder that hangs: no order that mixes two patients is ever
// launched, and no recorder starts for an order already overtaken.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>

#include "mounts.h"
#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::AfterMrn;
using test::Field;
using test::PausingWrite;
using test::ReadFile;
using test::WriteFile;

using test::ExfatMount;
using test::FuseMount;

using Writers = test::Program;

TEST_F(Writers, AnUnseenWriterIsLoadedOnlyOnceTheFileHasStayedTheSame) {
    FuseMount share(dir / "share-backing", dir / "share");
    if (!share.unavailable().empty()) GTEST_SKIP() << share.unavailable();
    const std::string seen = dir / "share/ridavaruz.xml", written = dir / "share-backing/ridavaruz.xml";
    WriteFile(written, Order("111", "A1"));
    UserSetting("XMLDataPath", seen);
    StartAndWaitUntilReady();
    const std::string next = Order("222", "B2");
    PausingWrite(written, next, AfterMrn(next), 1500);
    const auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u) << ReadFile(LogFile());
    EXPECT_EQ(starts[0]["path"], drafts + "/222_B2.iaf");
    EXPECT_EQ(Field(starts[0], "F_DocType"), "B2");
    EXPECT_EQ(Field(starts[0], "F_Matter"), "P 222");
    EXPECT_FALSE(std::filesystem::exists(drafts + "/222_A1.iaf")) << "a mixed order was launched";
    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Writers, ADraftsFolderThatHangsGetsNoRecorderForTheOrdersOvertakenMeanwhile) {
    FuseMount root(dir / "root-backing", dir / "root");
    if (!root.unavailable().empty()) GTEST_SKIP() << root.unavailable();
    std::filesystem::create_directories(dir.path() / "root/Drafts");
    Configure(dir / "root", test::Bin("demo-recorder"));
    drafts = dir / "root/Drafts";
    std::filesystem::create_directories(dir.path() / "orders");
    order = dir / "orders/ridavaruz.xml";
    UserSetting("XMLDataPath", order);
    WriteFile(order, Order("100", "H0"));
    StartAndWaitUntilReady();
    // A first launch: start-up, its sweep of the drafts folder included, is over.
    WriteFile(order, Order("100", "W0"));
    ASSERT_EQ(Starts(1).size(), 1u);
    root.Hang();
    for (const char* h : {"H1", "H2", "H3"}) {
        WriteFile(order + ".new", Order("100", h));
        test::MoveInto(order + ".new", order);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    root.Resume();
    const auto starts = Starts(2);
    ASSERT_EQ(starts.size(), 2u) << ReadFile(LogFile());
    EXPECT_EQ(starts[1]["path"], drafts + "/100_H3.iaf");
    EXPECT_EQ(Starts(3, 2000).size(), 2u) << ReadFile(recLog);
    EXPECT_NE(ReadFile(LogFile()).find("the order file holds a newer order"), std::string::npos) << ReadFile(LogFile());
    const auto events = Journal();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const json& e) { return e.value("outcome", "") == "superseded"; }));
    EXPECT_EQ(Stop(SIGTERM), 0);
}

// exFAT keeps times to the second: an order of the same size rewritten in
// place within the second of the one loaded at start-up leaves the identity
// as it was (here made sure of by setting the time back, as a copy that
// keeps its times does; exFAT's change time follows).
TEST_F(Writers, InPollModeASameSecondRewriteOnACoarseFileSystemIsLaunched) {
    ExfatMount exfat;
    if (const std::string why = exfat.Mount(dir.path()); !why.empty()) GTEST_SKIP() << "no exFAT through FUSE here: " << why;
    env.set("VANTORA_WATCH", "poll");
    order = (exfat.path() / "ridavaruz.xml").string();
    UserSetting("XMLDataPath", order);
    WriteFile(order, Order("111", "A1"));
    StartAndWaitUntilReady();
    struct stat first{}, second{};
    ASSERT_EQ(stat(order.c_str(), &first), 0);
    const int fd = open(order.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string next = Order("222", "B2");
    ASSERT_EQ(write(fd, next.data(), next.size()), static_cast<ssize_t>(next.size()));
    const struct timespec times[2] = {first.st_atim, first.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    ASSERT_EQ(stat(order.c_str(), &second), 0);
    ASSERT_EQ(std::make_tuple(first.st_ino, first.st_size, first.st_mtim.tv_sec, first.st_ctim.tv_sec),
              std::make_tuple(second.st_ino, second.st_size, second.st_mtim.tv_sec, second.st_ctim.tv_sec));
    const auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u) << ReadFile(LogFile());
    EXPECT_EQ(starts[0]["path"], drafts + "/222_B2.iaf");
    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Writers, InPollModeTimesAloneAreNoNewOrder) {
    env.set("VANTORA_WATCH", "poll");
    WriteFile(order, Order("111", "A1"));
    StartAndWaitUntilReady();
    WriteFile(order, Order("222", "B2"));
    ASSERT_EQ(Starts(1).size(), 1u);
    chmod(order.c_str(), 0600);  // the change time alone
    EXPECT_EQ(Starts(2, 4000).size(), 1u) << ReadFile(LogFile());
    // The same bytes with a new modification time: the study sent again.
    const struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    ASSERT_EQ(utimensat(AT_FDCWD, order.c_str(), times, 0), 0);
    EXPECT_EQ(Starts(2).size(), 2u);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Writers, AnOrderWrittenWhileStartUpSweepsTheDraftsFolderIsLaunched) {
    // Leftovers of 20,000 killed launches, an hour old.
    const struct timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (int i = 0; i < 20000; ++i) {
        const std::string name = drafts + "/.vnf-" + std::to_string(100000 + i) + ".tmp";
        const int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        futimens(fd, old);
        close(fd);
    }
    WriteFile(order, Order("111", "A1"));
    std::filesystem::remove(LogFile());
    pid = test::Spawn({test::Bin("pacs-vantora-driver")}, dir.path().string());
    // The profile line follows the start-up's reading of the order file.
    Logs("Change profile to");
    WriteFile(order, Order("222", "B2"));
    const auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u) << ReadFile(LogFile());
    EXPECT_EQ(starts[0]["path"], drafts + "/222_B2.iaf");
    EXPECT_EQ(Stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(drafts + "/.vnf-100000.tmp"));  // swept all the same
}

}  // namespace
}  // namespace pvd

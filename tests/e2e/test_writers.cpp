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
using test::ReadFile;
using test::WriteFile;

// Rewrites a file in place as a careless writer does: no truncation, the
// first `cut` bytes, a pause with the file open, then the rest.
void PausingWrite(const std::string& path, const std::string& bytes, std::size_t cut, int pauseMs) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(write(fd, bytes.data(), cut), static_cast<ssize_t>(cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    ASSERT_EQ(write(fd, bytes.data() + cut, bytes.size() - cut), static_cast<ssize_t>(bytes.size() - cut));
    close(fd);
}

// Where the new MRN ends: the half state then reads as an order with the new
// MRN and the old accession number and name.
std::size_t AfterMrn(const std::string& order) { return order.find("</PatientID>") + std::strlen("</PatientID>"); }

using test::ExfatMount;
using test::FuseMount;

class Writers : public test::Program {
protected:
    std::vector<json> Starts(std::size_t n, int timeoutMs = 15000) {
        std::vector<json> out;
        for (const auto& l : test::WaitForLines(recLog, n, timeoutMs)) out.push_back(json::parse(l));
        return out;
    }
    static std::string Field(const json& start, const std::string& name) {
        for (const auto& f : start["fields"])
            if (f["name"] == name) return f["value"];
        return "(none)";
    }
    // The dictation file holds this order's patient and not the one before.
    static void OnlyPatient(const json& start, const std::string& mrn, const std::string& acc, const std::string& oldMrn) {
        EXPECT_EQ(Field(start, "F_Subject"), mrn);
        EXPECT_EQ(Field(start, "F_DocType"), acc);
        EXPECT_EQ(Field(start, "F_Matter"), "P " + mrn);
        for (const auto& f : start["fields"]) EXPECT_EQ(f["value"].get<std::string>().find(oldMrn), std::string::npos) << f;
    }
};

class PausingWriters : public Writers, public testing::WithParamInterface<bool> {};

TEST_P(PausingWriters, NeverGetAMixedOrderLaunched) {
    WriteFile(order, Order("111", "A1"));
    if (GetParam()) {
        // The program as another user than the writer: no lease can tell.
        std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
        ASSERT_EQ(test::Run({"/bin/chown", "-R", "65534:65534", dir.path().string()}, "/").status, 0);
        runAs = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    StartAndWaitUntilReady();
    struct Round {
        int pauseMs;
        std::string mrn, acc, oldMrn, oldAcc;
    };
    std::size_t n = 0;
    for (const Round& r : {Round{2500, "222", "B2", "111", "A1"}, Round{5000, "333", "C3", "222", "B2"}}) {
        const auto& [pauseMs, mrn, acc, oldMrn, oldAcc] = r;
        const std::string next = Order(mrn, acc);
        PausingWrite(order, next, AfterMrn(next), pauseMs);
        const auto starts = Starts(++n);
        ASSERT_EQ(starts.size(), n) << ReadFile(LogFile());
        EXPECT_EQ(starts.back()["path"], drafts + "/" + mrn + "_" + acc + ".iaf");
        OnlyPatient(starts.back(), mrn, acc, oldMrn);
        EXPECT_FALSE(std::filesystem::exists(drafts + "/" + mrn + "_" + oldAcc + ".iaf")) << "a mixed order was launched";
    }
    EXPECT_EQ(Starts(3, 1500).size(), 2u);
    EXPECT_NE(ReadFile(LogFile()).find("is still held open by its writer"), std::string::npos);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(AsTheWritersUserAndAnother, PausingWriters, testing::Bool());

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
    OnlyPatient(starts[0], "222", "B2", "111");
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
    const std::string journal = test::Run({test::Bin("pacs-vantora-driver"), "--journal", "--json", "50"}, dir.path().string()).out;
    EXPECT_NE(journal.find("\"outcome\":\"superseded\""), std::string::npos) << journal;
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
    for (int waited = 0; waited < 15000 && ReadFile(LogFile()).find("Change profile to") == std::string::npos; waited += 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WriteFile(order, Order("222", "B2"));
    const auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u) << ReadFile(LogFile());
    EXPECT_EQ(starts[0]["path"], drafts + "/222_B2.iaf");
    EXPECT_EQ(Stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(drafts + "/.vnf-100000.tmp"));  // swept all the same
}

}  // namespace
}  // namespace pvd

// The tray program as a real process, without a window, in a scratch home:
// it picks up rewrites of the order file, runs as a single instance, and
// ends in order (SIGTERM, SIGINT; the end of the session on Windows).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <set>

#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::NativePath;
using test::WriteFile;
using test::AfterMrn;
using test::Field;
using test::PausingWrite;

using test::Program;

TEST_F(Program, EveryRewriteIsLaunchedAndNothingAtStartUp) {
    WriteFile(order, Order("100", "A1"));
    StartAndWaitUntilReady();

    WriteFile(order, Order("200", "B2"));  // rewritten in place
    auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(json::parse(starts[0])["path"], NativePath(drafts + "/200_B2.iaf"));  // not the order present at start-up

    WriteFile(drafts + "/.tmp", Order("300", "C3"));  // replaced by rename
    test::MoveInto(drafts + "/.tmp", order);
    starts = test::WaitForLines(recLog, 2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(json::parse(starts[1])["path"], NativePath(drafts + "/300_C3.iaf"));

    WriteFile(order, "<DictationData><New><PatientID>400");  // torn: not an order
    WriteFile(order, Order("500", "E5"));
    starts = test::WaitForLines(recLog, 3);
    ASSERT_GE(starts.size(), 3u);
    for (const auto& s : starts) EXPECT_EQ(json::parse(s)["path"].get<std::string>().find("400"), std::string::npos);
    EXPECT_EQ(json::parse(starts.back())["path"], NativePath(drafts + "/500_E5.iaf")) << test::ReadFile(recLog) << test::ReadFile(dir / ".spawn.out");
    EXPECT_FALSE(std::filesystem::exists(NativePath(drafts + "/100_A1.iaf")));

    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Program, ASecondInstanceEndsAtOnceAndLeavesTheFirstRunning) {
    StartAndWaitUntilReady();
    auto second = test::Run({test::Bin("pacs-vantora-driver")}, dir.path().string());
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(Alive());  // the first still runs

    WriteFile(order, Order("600", "F6"));
    EXPECT_EQ(test::WaitForLines(recLog, 1).size(), 1u);

    EXPECT_EQ(Stop(SIGINT), 0);
    // Its lock is gone with it: a new start is the only instance again.
    StartAndWaitUntilReady();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Alive());
    WriteFile(order, Order("700", "G7"));
    EXPECT_EQ(test::WaitForLines(recLog, 2).size(), 2u);
    EXPECT_EQ(Stop(SIGTERM), 0);

    // The journal holds both runs, in order, across the restart; the second
    // instance, which ended at once, wrote nothing.
    std::vector<std::string> events;
    std::set<long> pids;
    for (const json& e : Journal()) {
        std::string what = e["event"];
        if (what == "launch") what += ":" + std::filesystem::path(e["dictation"].get<std::string>()).filename().string();
        events.push_back(what);
        pids.insert(e["pid"].get<long>());
    }
    EXPECT_EQ(events, (std::vector<std::string>{"start", "load", "load", "launch:600_F6.iaf", "exit", "start", "load", "load",
                                                "launch:700_G7.iaf", "exit"}));
    EXPECT_EQ(pids.size(), 2u);
}

// --quit, as installers run it: the running program ends as "Exit" ends it
// (its journal says so), and --quit returns only once it has ended; with
// nothing running it succeeds at once. Afterwards a start is the one
// instance again.
TEST_F(Program, QuitEndsTheRunningProgramAndReturnsOnceItHasEnded) {
    auto none = test::Run({test::Bin("pacs-vantora-driver"), "--quit"}, dir.path().string());
    EXPECT_EQ(none.status, 0) << none.out << none.err;
    EXPECT_NE(none.out.find("no instance is running"), std::string::npos) << none.out << none.err;

    StartAndWaitUntilReady();
    auto quit = test::Run({test::Bin("pacs-vantora-driver"), "--quit"}, dir.path().string());
    EXPECT_EQ(quit.status, 0) << quit.out << quit.err;
    EXPECT_NE(quit.out.find("has ended"), std::string::npos) << quit.out << quit.err;
    // Ended already when --quit returned, and cleanly.
    const int status = test::WaitExit(pid, 0);
    EXPECT_EQ(status, 0) << test::ReadFile(dir / ".spawn.out");
    if (status != -1) pid = test::kNoChild;
    const auto events = Journal();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "exit");

    // Nothing of it is left to block the next start, and --quit reaches that one too.
    StartAndWaitUntilReady();
    WriteFile(order, Order("800", "H8"));
    EXPECT_EQ(test::WaitForLines(recLog, 1).size(), 1u);
    quit = test::Run({test::Bin("pacs-vantora-driver"), "--quit"}, dir.path().string());
    EXPECT_EQ(quit.status, 0) << quit.out << quit.err;
    EXPECT_EQ(test::WaitExit(pid, 0), 0);
    pid = test::kNoChild;
}

// Every changed version is launched, whatever its modification time says:
// a copy that keeps an older time, a clock set back, the same time forced.
class Versions : public Program, public testing::WithParamInterface<bool> {};

TEST_P(Versions, SameOrOlderTimesAreNewVersionsAllTheSame) {
    if (GetParam()) env.set("VANTORA_WATCH", "poll");
    WriteFile(order, Order("100", "A1"));
    StartAndWaitUntilReady();
    namespace fs = std::filesystem;
    auto mtime = [](const std::string& path, fs::file_time_type t) { fs::last_write_time(path, t); };
    const auto now = fs::file_time_type::clock::now();
    mtime(order, now + std::chrono::hours(1) + std::chrono::microseconds(123457));  // written by a host whose clock is ahead

    // A copy over it that keeps its older time (as cp -p does: written in
    // place, then the time set).
    const auto older = now - std::chrono::hours(24 * 365 * 5);
    WriteFile(order, Order("200", "B2"));
    mtime(order, older);
    auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(json::parse(starts[0])["path"], NativePath(drafts + "/200_B2.iaf"));

    // Same size, and the same modification time to the last unit.
    WriteFile(order, Order("300", "C3"));
    mtime(order, older);
    starts = test::WaitForLines(recLog, 2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(json::parse(starts[1])["path"], NativePath(drafts + "/300_C3.iaf"));
    EXPECT_EQ(Stop(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(Watch, Versions, testing::Values(false, true), [](const auto& i) { return i.param ? "Poll" : "Notify"; });

// Writers that rewrite the order in place without truncating and pause with
// the file open after the new MRN: the half-written file parses (new MRN, old
// accession and name) but must never be launched. Seen through notifications,
// by the poll alone, and by a program running as another user than the
// writer, where no lease can tell (POSIX).
class PausingWriters : public Program, public testing::WithParamInterface<std::string> {};

TEST_P(PausingWriters, NeverGetAMixedOrderLaunched) {
    auto numbered = [](int i) {
        char n[8];
        std::snprintf(n, sizeof n, "%04d", i);
        return Order(std::string("M") + n, std::string("A") + n);
    };
    WriteFile(order, numbered(0));
    if (GetParam() == "Poll") env.set("VANTORA_WATCH", "poll");
#ifndef _WIN32
    if (GetParam() == "AnotherUser") {
        std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
        ASSERT_EQ(test::Run({"/bin/chown", "-R", "65534:65534", dir.path().string()}, "/").status, 0);
        runAs = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
#endif
    StartAndWaitUntilReady();
    // Every launch holds one order's patient only, and each version is
    // launched at most once.
    std::set<std::string> names;
    auto check = [&](const std::vector<json>& starts) {
        for (const json& s : starts) {
            const std::string n = std::filesystem::path(s["path"].get<std::string>()).filename().string().substr(1, 4);
            EXPECT_EQ(s["path"], NativePath(drafts + "/M" + n + "_A" + n + ".iaf")) << "a mixed order was launched";
            EXPECT_EQ(Field(s, "F_DocType"), "A" + n);
            EXPECT_EQ(Field(s, "F_Matter"), "P M" + n);
            names.insert(n);
        }
        EXPECT_EQ(names.size(), starts.size()) << "a version was launched twice";
    };
    // Back to back: the last one is launched, whatever was skipped.
    for (int i = 1; i <= 20; ++i) PausingWrite(order, numbered(i), AfterMrn(numbered(i)), 50);
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadFile(recLog).find("M0020_A0020") != std::string::npos; }));
    std::size_t n = Starts(1).size();
    // A pause longer than the poll's settle period is waited for, and launched.
    PausingWrite(order, numbered(21), AfterMrn(numbered(21)), 3000);
    const auto after = Starts(++n);
    ASSERT_EQ(after.size(), n) << test::ReadFile(LogFile());
    EXPECT_EQ(after.back()["path"], NativePath(drafts + "/M0021_A0021.iaf"));
    const auto starts = Starts(n + 1, 1500);
    EXPECT_EQ(starts.size(), n);
    check(starts);
    EXPECT_TRUE(Logs("is still held open by its writer"));
    EXPECT_EQ(Stop(SIGTERM), 0);
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Watch, PausingWriters, testing::Values("Notify", "Poll"), [](const auto& i) { return i.param; });
#else
INSTANTIATE_TEST_SUITE_P(Watch, PausingWriters, testing::Values("Notify", "Poll", "AnotherUser"), [](const auto& i) { return i.param; });
#endif

}  // namespace
}  // namespace pvd

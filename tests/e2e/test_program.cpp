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
    auto r = test::Run({test::Bin("pacs-vantora-driver"), "--journal", "--json", "100"}, dir.path().string());
    std::vector<std::string> events;
    std::set<long> pids;
    for (std::size_t start = 0, nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        const json e = json::parse(r.out.substr(start, nl - start));
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
    auto journal = test::Run({test::Bin("pacs-vantora-driver"), "--journal", "--json", "100"}, dir.path().string());
    std::vector<std::string> events;
    for (std::size_t start = 0, nl; (nl = journal.out.find('\n', start)) != std::string::npos; start = nl + 1)
        events.push_back(json::parse(journal.out.substr(start, nl - start))["event"]);
    ASSERT_FALSE(events.empty()) << journal.err;
    EXPECT_EQ(events.back(), "exit");

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

// A writer that rewrites in place without truncating, in two writes with a
// pause between them while it keeps the file open: the half-written file
// parses (new MRN, old accession) but must never be launched.
TEST_F(Program, PausingWritersThatKeepTheFileOpenNeverLaunchAMixedOrder) {
    auto fixed = [](int i) {
        char n[8];
        std::snprintf(n, sizeof n, "%04d", i);
        return Order(std::string("M") + n, std::string("A") + n);
    };
    auto rewrite = [&](int i, int pauseMs) {
        const std::string text = fixed(i);
        const std::size_t half = text.find("<AccessionNumber>");
        std::FILE* f = nullptr;  // a reader holding it a moment may refuse a writer on Windows
        for (int tries = 0; tries < 2000 && !(f = std::fopen(order.c_str(), "r+b")); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, half, f), half);
        ASSERT_EQ(std::fflush(f), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        ASSERT_EQ(std::fwrite(text.data() + half, 1, text.size() - half, f), text.size() - half);
        std::fclose(f);
    };
    auto launched = [&](const std::string& name) {
        for (int waited = 0; waited < 15000 && test::ReadFile(recLog).find(name) == std::string::npos; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return test::ReadFile(recLog).find(name) != std::string::npos;
    };
    auto check = [&](std::size_t expected) {
        auto starts = test::WaitForLines(recLog, expected);
        for (const auto& l : starts) {
            const std::string name = std::filesystem::path(json::parse(l)["path"].get<std::string>()).filename().string();
            EXPECT_EQ(name.substr(1, 4), name.substr(7, 4)) << "a mixed order was launched: " << name;
        }
        return starts.size();
    };
    WriteFile(order, fixed(0));
    StartAndWaitUntilReady();
    for (int i = 1; i <= 50; ++i) rewrite(i, 50);
    EXPECT_TRUE(launched("M0050_A0050"));  // the last one is launched
    EXPECT_GE(check(1), 1u);
    EXPECT_EQ(Stop(SIGTERM), 0);

    // The poll alone, with pauses longer than the settle period: the open
    // writer is seen.
    std::filesystem::remove(recLog);
    env.set("VANTORA_WATCH", "poll");
    StartAndWaitUntilReady();
    for (int i = 51; i <= 53; ++i) rewrite(i, 1300);
    EXPECT_TRUE(launched("M0053_A0053"));
    check(1);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace pvd

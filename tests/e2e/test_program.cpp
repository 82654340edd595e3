// The tray program as a real process, offscreen, in a scratch home: it picks
// up rewrites of the order file, runs as a single instance, and ends on SIGTERM.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>

#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::WriteFile;

using test::Program;

TEST_F(Program, EveryRewriteIsLaunchedAndNothingAtStartUp) {
    WriteFile(order, Order("100", "A1"));
    StartAndWaitUntilReady();

    WriteFile(order, Order("200", "B2"));  // rewritten in place
    auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(json::parse(starts[0])["path"], drafts + "/200_B2.iaf");  // not the order present at start-up

    WriteFile(drafts + "/.tmp", Order("300", "C3"));  // replaced by rename
    std::filesystem::rename(drafts + "/.tmp", order);
    starts = test::WaitForLines(recLog, 2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(json::parse(starts[1])["path"], drafts + "/300_C3.iaf");

    WriteFile(order, "<DictationData><New><PatientID>400");  // torn: not an order
    WriteFile(order, Order("500", "E5"));
    starts = test::WaitForLines(recLog, 3);
    ASSERT_GE(starts.size(), 3u);
    for (const auto& s : starts) EXPECT_EQ(json::parse(s)["path"].get<std::string>().find("400"), std::string::npos);
    EXPECT_EQ(json::parse(starts.back())["path"], drafts + "/500_E5.iaf") << test::ReadFile(recLog) << test::ReadFile(dir / ".spawn.out");
    EXPECT_FALSE(std::filesystem::exists(drafts + "/100_A1.iaf"));

    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Program, ASecondInstanceEndsAtOnceAndLeavesTheFirstRunning) {
    StartAndWaitUntilReady();
    auto second = test::Run({test::Bin("pacs-vantora-driver")}, dir.path().string());
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(test::WaitExit(pid, 0), -1);  // the first still runs

    WriteFile(order, Order("600", "F6"));
    EXPECT_EQ(test::WaitForLines(recLog, 1).size(), 1u);

    EXPECT_EQ(Stop(SIGINT), 0);
    // Its lock is gone with it: a new start is the only instance again.
    StartAndWaitUntilReady();
    EXPECT_EQ(test::WaitExit(pid, 200), -1);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace pvd

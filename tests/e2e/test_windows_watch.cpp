// The running Windows program and its watched order folder: a folder that
// another program deletes must go at once, or the PACS cannot make it anew
// (a folder deleted while a handle to it is open stays until the handle is
// closed), and the orders written into the new folder are launched.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>

#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::NativePath;
using test::WriteFile;

using test::Program;

// Makes the folder as a PACS does, trying for a few of the program's ticks
// (it may let go of a deleted folder only at its next tick). The last error.
DWORD MakeFolder(const std::string& folder) {
    DWORD error = 0;
    for (int waited = 0; waited < 3000; waited += 10, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (CreateDirectoryW(win32::Wide(folder).c_str(), nullptr)) return 0;
        error = GetLastError();
    }
    return error;
}

TEST_F(Program, AnOrderFolderDeletedByAnotherProgramCanBeMadeAnewAndIsWatchedAgain) {
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::string cmd = win32::Utf8(system) + "\\cmd.exe";
    WriteFile(order, Order("100", "A1"));
    StartAndWaitUntilReady();

    // Deleted with the order file in it; then emptied (of the order and the
    // dictation file) a while before the folder itself goes, so that no
    // change of the order file comes with the folder's deletion.
    const std::pair<std::string, std::string> next[] = {{"200", "B2"}, {"300", "C3"}};
    for (std::size_t round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "deleted with its files" : "deleted empty");
        if (round == 1) {
            for (const auto& e : std::filesystem::directory_iterator(drafts)) std::filesystem::remove(e.path());
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
        const test::RunResult r = test::Run({cmd, "/c", "rmdir", "/s", "/q", drafts}, dir.path().string());
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const DWORD made = MakeFolder(drafts);
        ASSERT_EQ(made, 0u) << "the deleted folder could not be made anew: " << win32::ErrorText(made);

        WriteFile(order, Order(next[round].first, next[round].second));
        const std::string name = next[round].first + "_" + next[round].second + ".iaf";
        auto starts = test::WaitForLines(recLog, round + 1);
        ASSERT_EQ(starts.size(), round + 1) << test::ReadFile(LogFile()) << test::ReadFile(dir / ".spawn.out");
        EXPECT_EQ(json::parse(starts.back())["path"], NativePath(drafts + "/" + name));
        EXPECT_TRUE(std::filesystem::exists(NativePath(drafts + "/" + name)));
        EXPECT_TRUE(Alive());
    }
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace pvd

// Torn writes: while the program runs, the order file is rewritten hundreds of
// times in random chunks with random pauses, in place and by rename, with a
// few versions that never parse. Every dictation launched must belong to an
// order that was fully written, carry that order's identity throughout, and
// the last order must be launched.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <set>

#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;

class TornWrites : public test::Program {
protected:
    std::mt19937 rng{20261208};
    int Random(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    void Pause(int maxMicros) { std::this_thread::sleep_for(std::chrono::microseconds(Random(0, maxMicros))); }

    static std::string Order(int i) {
        return "<?xml version=\"1.0\"?>\n<DictationData>\n  <New>\n    <PatientID>S" + std::to_string(i) +
               "</PatientID>\n    <AccessionNumber>A" + std::to_string(i) + "</AccessionNumber>\n    <PatientName>Patient^" +
               std::to_string(i) + "</PatientName>\n    <StudyDescription>Study " + std::to_string(i) +
               "</StudyDescription>\n    <Seq>" + std::to_string(i) + "</Seq>\n  </New>\n</DictationData>\n";
    }

    // Writes text to fd in 1 to 4 pieces with short pauses between them.
    void WriteInPieces(int fd, const std::string& text) {
        std::size_t done = 0;
        const int pieces = Random(1, 4);
        for (int p = 1; p <= pieces; ++p) {
            const std::size_t end = p == pieces ? text.size() : std::min(text.size(), done + text.size() / pieces + Random(0, 9));
            ASSERT_EQ(write(fd, text.data() + done, end - done), static_cast<ssize_t>(end - done));
            done = end;
            if (p < pieces) Pause(1500);
        }
    }
    void Rewrite(const std::string& text) {
        if (Random(0, 9) < 6) {  // in place
            int fd = open(order.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            WriteInPieces(fd, text);
            close(fd);
        } else {  // a new file renamed over the old one
            const std::string tmp = drafts + "/.ridavaruz.xml.new";
            int fd = open(tmp.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            WriteInPieces(fd, text);
            close(fd);
            ASSERT_EQ(std::rename(tmp.c_str(), order.c_str()), 0);
        }
    }
    std::size_t Starts() { return test::WaitForLines(recLog, 0, 0).size(); }
    bool Launched(int i) {
        for (const auto& l : test::WaitForLines(recLog, 0, 0))
            if (json::parse(l)["path"] == Path(i)) return true;
        return false;
    }
    std::string Path(int i) const { return drafts + "/S" + std::to_string(i) + "_A" + std::to_string(i) + ".iaf"; }
};

TEST_F(TornWrites, EveryLaunchBelongsToAFullyWrittenOrderAndTheLastIsLaunched) {
    StartAndWaitUntilReady();
    constexpr int kOrders = 300;
    const std::set<int> unparsableBefore = {40, 110, 180, 250};  // a version that never parses comes before these
    for (int i = 0; i < kOrders; ++i) {
        if (unparsableBefore.contains(i)) {
            // Once the previous order is launched, a version that does not parse
            // must launch nothing at all, neither now nor at the next polls.
            for (int waited = 0; waited < 10000 && !Launched(i - 1); waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_TRUE(Launched(i - 1)) << "order " << i - 1 << " was never launched";
            const std::size_t before = Starts();
            const std::string full = Order(999);
            Rewrite(full.substr(0, full.size() / 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            EXPECT_EQ(Starts(), before) << "a launch followed a version that does not parse (before order " << i << ")";
        }
        Rewrite(Order(i));
        Pause(4000);
    }
    // The last order is launched.
    bool last = false;
    for (int waited = 0; waited < 15000 && !(last = Launched(kOrders - 1)); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(last);
    EXPECT_EQ(Stop(SIGTERM), 0);

    // Every start: an order that was written whole, with one identity in every field.
    int previous = -1;
    auto lines = test::WaitForLines(recLog, 0, 0);
    EXPECT_GT(lines.size(), 20u);  // the watch keeps up with most rewrites
    // Recorders started a moment apart may write their lines in either order;
    // process ids tell the order in which they were started (across a wrap of
    // the ids, the small ones came last).
    std::vector<std::pair<long long, std::string>> byStart;
    for (const auto& l : lines) byStart.emplace_back(json::parse(l)["pid"].get<long long>(), l);
    long long lo = LLONG_MAX, hi = 0;
    for (const auto& [pid, l] : byStart) lo = std::min(lo, pid), hi = std::max(hi, pid);
    if (hi - lo > (1LL << 21))
        for (auto& [pid, l] : byStart)
            if (pid < (1LL << 21)) pid += 1LL << 23;
    std::sort(byStart.begin(), byStart.end());
    for (const auto& [pid, l] : byStart) {
        const json start = json::parse(l);
        ASSERT_FALSE(start.contains("error")) << l;
        std::map<std::string, std::string> f;
        for (const auto& field : start["fields"]) f[field["name"]] = field["value"];
        // The order the launch was for, from the file it named.
        const std::string file = std::filesystem::path(start["path"].get<std::string>()).filename().string();
        ASSERT_TRUE(file.starts_with("S") && file.find("_A") != std::string::npos) << l;
        const int i = std::stoi(file.substr(1));
        ASSERT_TRUE(i >= 0 && i < kOrders) << l;
        const std::string n = std::to_string(i);
        EXPECT_EQ(start["path"], Path(i)) << l;
        // The order's own values, whichever loader read them, belong to the same order.
        const std::string seq = f.contains("XML_Seq") ? f["XML_Seq"] : f["<DictationData><New><Seq>"];
        EXPECT_EQ(seq, n) << "the values of one order were written under another order's identity: " << l;
        EXPECT_EQ(f["F_Subject"], "S" + n) << l;
        EXPECT_EQ(f["F_DocType"], "A" + n) << l;
        EXPECT_EQ(f["F_Matter"], "Patient^" + n) << l;
        EXPECT_EQ(f["F_DocName"], "Study " + n) << l;
        EXPECT_EQ(f.contains("XML_PatientID") ? f["XML_PatientID"] : f["<DictationData><New><PatientID>"], "S" + n) << l;
        EXPECT_GE(i, previous) << "a launch went back to an older order";
        previous = i;
    }
    // No dictation file for anything but a whole order.
    for (const auto& e : std::filesystem::directory_iterator(drafts)) {
        const std::string name = e.path().filename().string();
        if (name.ends_with(".iaf")) {
            EXPECT_TRUE(name.starts_with("S") && name.find("_A") != std::string::npos) << name;
        }
    }
}

}  // namespace
}  // namespace pvd

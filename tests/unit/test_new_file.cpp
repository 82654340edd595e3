// The new-file sequence through the program's wrapper and the real format
// library, loaded by file name as the program loads it.
#include <gtest/gtest.h>

#include <clocale>
#include <functional>

#include "dictation/new_file.h"
#include "format/FileControl.h"
#include "format/VNFFieldNames.h"
#include "test_support.h"
#include "vnfformat.h"

namespace pvd {

// From test_vnfformat.cpp.
using Fields = std::vector<std::pair<std::string, std::string>>;
std::string SystemText(int code);
Fields FieldsOf(const std::string& path);
extern const int kNoSuchFolder;

namespace {

using test::TempDir;

// The real library, with the Nth save made to fail, or something run just
// before the publish.
class FailingSave final : public VnfApi {
public:
    explicit FailingSave(int failAt) : failAt_(failAt) {}
    std::int32_t CreateVNFFileUnnamed(const char* p) override { return FormatLibrary().CreateVNFFileUnnamed(p); }
    std::int16_t SetRecordWaveParams(std::int32_t h, std::int32_t r, std::int16_t c, std::int16_t f) override {
        return FormatLibrary().SetRecordWaveParams(h, r, c, f);
    }
    std::int16_t AddVNFField(std::int32_t h, const char* n, const char* v) override { return FormatLibrary().AddVNFField(h, n, v); }
    std::int16_t SaveVNFFile(std::int32_t h) override {
        if (++saves_ != failAt_) return FormatLibrary().SaveVNFFile(h);
        failure_ = "save the file: failed save " + std::to_string(saves_);
        return 3;
    }
    std::int16_t PublishVNFFile(std::int32_t h) override {
        if (beforePublish) beforePublish();
        return FormatLibrary().PublishVNFFile(h);
    }
    void CloseVNFFile(std::int32_t h) override { FormatLibrary().CloseVNFFile(h); }
    std::optional<VnfFields> ReadFields(const char* p) override { return FormatLibrary().ReadFields(p); }
    void RemoveStaleTemporaries(const char* f) override { FormatLibrary().RemoveStaleTemporaries(f); }
    std::string LastFailure() override { return failure_.empty() ? FormatLibrary().LastFailure() : failure_; }
    std::function<void()> beforePublish;

private:
    std::string failure_;
    int failAt_;
    int saves_ = 0;
};

class NewFile : public testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_TIME, "C"); }
    TempDir dir;
    MemoryLog log;
    FixedClock clock{LocalTime{2026, 12, 7, 21, 5, 3}};
    RecordSettings settings{11025, 1, 0};
    OrderState order;
};

TEST_F(NewFile, TheSixFixedFieldsComeFirstThenEveryRecordInOrderEvenWithFixedNames) {
    VnfDriver driver;
    const std::string path = dir / "987_A678.iaf";
    order.fields = {"987", "A678", "CT Thorax", "Doe^Jane", "u1"};
    order.xml_elements = {{"XML_PatientID", ""}, {"F_Subject", "again"}, {"<D><E>", "v"}};
    log.verbose = true;
    ASSERT_EQ(CreateNewFile(path, order, {driver, settings, log, clock}), CreateResult::Created);
    EXPECT_EQ(FieldsOf(path), (Fields{{"D_Created", "07-Dec-2026"}, {"T_Created", "21:05:03"}, {"F_Subject", "987"},
                                      {"F_Matter", "Doe^Jane"}, {"F_DocName", "CT Thorax"}, {"F_DocType", "A678"},
                                      {"XML_PatientID", ""}, {"F_Subject", "again"}, {"<D><E>", "v"}}));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"VnfDriver.VNF_CreateFile " + path, "end MakeNewVnfFile"}));
    EXPECT_EQ(driver.currentHandle(), 0);
    EXPECT_TRUE(driver.currentFileName().empty());
}

TEST_F(NewFile, MidnightAndEarlyDaysFormat) {
    const TimePoint midnight = FromLocalTime(LocalTime{2027, 3, 1, 0, 0, 0});
    EXPECT_EQ(VNFFieldNames::FormatCreatedDate(midnight), "01-Mar-2027");
    EXPECT_EQ(VNFFieldNames::FormatCreatedTime(midnight), "00:00:00");
    EXPECT_EQ(VNFFieldNames::FormatCreatedTime(midnight - std::chrono::seconds(1)), "23:59:59");
}

TEST_F(NewFile, AFailedCreationLeavesNothingOnDiskAndSaysWhy) {
    const std::string path = dir / "987_A678.iaf";
    const RecordSettings zero{};
    struct Case {
        const char* name;
        std::string path;
        int failAt;
        const RecordSettings& settings;
        std::string why;
    };
    for (const Case& c : std::vector<Case>{
             {"missing folder", dir / "gone/987_A678.iaf", 0, settings, "create the file: " + SystemText(kNoSuchFolder)},
             {"first save fails", path, 1, settings, "save the file: failed save 1"},
             {"final save fails", path, 2, settings, "save the file: failed save 2"},
             // Without the file controller no tool could play the file.
             {"no recording parameters", path, 0, zero, "no recording parameters, " + RecordingSettingsProblem()}}) {
        SCOPED_TRACE(c.name);
        FailingSave api(c.failAt);
        VnfDriver driver(api);
        order.fields.txtMRN = "987";
        std::string why;
        EXPECT_EQ(CreateNewFile(c.path, order, {driver, c.settings, log, clock}, &why), CreateResult::Failed);
        EXPECT_EQ(why, c.why);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
        EXPECT_EQ(driver.currentHandle(), 0);
    }
    EXPECT_NE(RecordingSettingsProblem().find("file controller"), std::string::npos) << RecordingSettingsProblem();
    VnfDriver driver;
    EXPECT_FALSE(MakeNewVnfFile(dir / "gone/987_A678.iaf", {driver, settings, log, clock}));
}

TEST_F(NewFile, TheFileAppearsOnlyCompleteAndNeverOverAnotherOne) {
    FailingSave api(0);
    VnfDriver driver(api);
    const std::string path = dir / "987_A678.iaf";
    order.fields = {"", "A678", "", "", ""};  // empty values are still written, as empty fields
    // Between the two saves and up to the publish, nothing is visible at all
    // (on Windows, only the hidden temporary the file is built in).
    api.beforePublish = [&] {
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
#ifdef _WIN32
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name.starts_with(".vnf-") && name.ends_with(".tmp")) << name;
#else
            ADD_FAILURE() << e.path();
#endif
        }
    };
    std::string why;
    ASSERT_EQ(CreateNewFile(path, order, {driver, settings, log, clock}, &why), CreateResult::Created);
    EXPECT_EQ(FieldsOf(path).size(), 6u);

    // Another launch publishes first: its file stays, byte for byte. Neither
    // is a failure with a reason.
    const std::string other = dir / "988_A678.iaf";
    api.beforePublish = [&] { test::WriteFile(other, "theirs"); };
    EXPECT_EQ(CreateNewFile(other, order, {driver, settings, log, clock}, &why), CreateResult::Exists);
    EXPECT_EQ(test::ReadFile(other), "theirs");
    EXPECT_EQ(why, "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(FileControl, ControllerSetsTheRecordingParameters) {
    ASSERT_TRUE(InitFileControl());
    EXPECT_EQ(RecordingSettings().sampleRate, 11025);
    EXPECT_EQ(RecordingSettings().channels, 1);
    EXPECT_EQ(RecordingSettings().waveFormat, 0);
}

}  // namespace
}  // namespace pvd

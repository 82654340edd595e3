// The launch, end to end: order file, dictation file in the drafts folder,
// and the demo recorder started on it, in a scratch home.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/Form1.h"
#include "app/system_services.h"
#include "dictation/StartVNR.h"
#include "fake_view.h"
#include "format/FileControl.h"
#include "process.h"
#include "settings/systemRegKeys.h"
#include "settings_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::ReadFile;
using test::WriteFile;

class Launch : public test::ScratchHome {
protected:
    std::string drafts, recLog;
    std::unique_ptr<SystemServices> services;
    test::FakeView view;
    std::vector<std::string>& shown = view.messages;
    std::unique_ptr<Form1> form;

    void SetUp() override {
        ScratchHome::SetUp();
        drafts = dir / "dictation/Drafts";
        recLog = dir / "recorder.log";
        std::filesystem::create_directories(drafts);
        Configure(test::Bin("demo-recorder"));
        env.set("DEMO_RECORDER_LOG", recLog);
        SetSettingsAppName(kApplicationName);
        ASSERT_TRUE(InitFileControl());
        services = std::make_unique<SystemServices>();
        form = std::make_unique<Form1>(*services, view);
    }
    void Configure(const std::string& recorder) {
        std::string reg = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n"
                          "\"WorkingDirectory\"=\"" + (dir / "dictation") + "\"\n";
        if (!recorder.empty()) reg += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]\n\"PATH\"=\"" + recorder + "\"\n";
        WriteFile(dir / "machine.reg", reg);
    }
    std::vector<json> Starts(std::size_t expected) {
        std::vector<json> out;
        for (const auto& l : test::WaitForLines(recLog, expected)) out.push_back(json::parse(l));
        return out;
    }
    void Order(std::string mrn, std::string acc) {
        form->order().fields = {std::move(mrn), std::move(acc), "CT", "Doe^Jane", "u"};
        form->order().xml_elements = {{"XML_Modality", "CT"}};
    }
};

TEST_F(Launch, CreatesThenReusesAndStartsTheRecorderEachTime) {
    Order("987", "A678");
    const std::string path = drafts + "/987_A678.iaf";
    LaunchOutcome first = form->Launch();
    EXPECT_EQ(first.result, LaunchResult::Created);
    EXPECT_EQ(first.path, path);
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["argc"], 1);
    EXPECT_EQ(starts[0]["argument"], "open" + path);
    ASSERT_EQ(starts[0]["fields"].size(), 7u);
    EXPECT_EQ(starts[0]["fields"][2]["value"], "987");
    EXPECT_EQ(starts[0]["fields"][6]["name"], "XML_Modality");

    const std::string bytes = ReadFile(path);
    form->order().fields.txtPatient = "Changed^Name";
    EXPECT_EQ(form->Launch().result, LaunchResult::Reused);
    EXPECT_EQ(ReadFile(path), bytes);  // not a byte changes
    EXPECT_EQ(Starts(2).size(), 2u);
    EXPECT_TRUE(shown.empty());
}

TEST_F(Launch, EmptyIdentityGivesUnderscoreFile) {
    Order("", "");
    EXPECT_EQ(form->Launch().result, LaunchResult::Created);
    EXPECT_TRUE(std::filesystem::exists(drafts + "/_.iaf"));
}

TEST_F(Launch, PathSeparatorsInTheOrderAreRefusedEverywhere) {
    for (auto [mrn, acc] : {std::pair{"../../escape", "A1"}, std::pair{"987", "x/y"}, std::pair{"9\\8", "A1"}}) {
        Order(mrn, acc);
        LaunchOutcome out = form->Launch();
        EXPECT_EQ(out.result, LaunchResult::Refused);
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(), "Unable to create " + drafts + "/" + mrn + "_" + acc + ".iaf");
    }
    EXPECT_TRUE(std::filesystem::is_empty(drafts));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape_A1.iaf"));
    EXPECT_FALSE(std::filesystem::exists(recLog));
}

TEST_F(Launch, CreationFailureShowsTheMessageAndStartsNothing) {
    std::filesystem::remove(drafts);
    Order("987", "A678");
    EXPECT_EQ(form->Launch().result, LaunchResult::Failed);
    EXPECT_EQ(shown, (std::vector<std::string>{"Unable to create " + drafts + "/987_A678.iaf"}));
    EXPECT_FALSE(std::filesystem::exists(recLog));
}

TEST_F(Launch, NoRecorderConfiguredCreatesTheFileAndStartsNothing) {
    Configure("");
    Order("987", "A678");
    EXPECT_EQ(form->Launch().result, LaunchResult::Created);
    EXPECT_TRUE(std::filesystem::exists(drafts + "/987_A678.iaf"));
    EXPECT_FALSE(StartVNR(drafts + "/987_A678.iaf"));
    EXPECT_TRUE(shown.empty());
}

TEST_F(Launch, RecorderStartIsDetachedAndKeepsSpacesInOneArgument) {
    const std::string spaced = dir / "with space/Drafts";
    std::filesystem::create_directories(spaced);
    WriteFile(spaced + "/a b.iaf", "");
    ASSERT_TRUE(StartVNR(spaced + "/a b.iaf"));
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["argc"], 1);
    EXPECT_EQ(starts[0]["argument"], "open" + spaced + "/a b.iaf");
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // no child of ours left, not even a zombie
    EXPECT_EQ(errno, ECHILD);

    Configure(dir / "not-a-program");
    WriteFile(dir / "not-a-program", "just text");
    EXPECT_EQ(form->Launch().result, LaunchResult::Created);  // nothing reported
    EXPECT_TRUE(shown.empty());
}

class LaunchCommand : public Launch {};

TEST_F(LaunchCommand, ExitStatusesAndOutput) {
    const std::string order = test::SourceDir() + "/samples/order.xml";
    auto r = test::Run({test::Bin("pacs-vantora-driver"), "--launch", order}, dir.path().string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, drafts + "/987_A678.iaf\n");
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["fields"][0]["name"], "D_Created");

    WriteFile(dir / "torn.xml", "<DictationData><New><PatientID>12");
    r = test::Run({test::Bin("pacs-vantora-driver"), "--launch", dir / "torn.xml"}, dir.path().string());
    EXPECT_EQ(r.status, 3);

    WriteFile(dir / "evil.xml", "<DictationData><New><PatientID>../x</PatientID><AccessionNumber>1</AccessionNumber></New></DictationData>");
    r = test::Run({test::Bin("pacs-vantora-driver"), "--launch", dir / "evil.xml"}, dir.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to create " + drafts + "/../x_1.iaf\n");

    r = test::Run({test::Bin("pacs-vantora-driver"), "--launch"}, dir.path().string());
    EXPECT_EQ(r.status, 2);
}

TEST_F(LaunchCommand, WithoutTheFormatLibraryCreationFailsCleanly) {
    // A copy of the program with no libraries beside it or in ../lib.
    const auto lone = dir.path() / "lone" / "bin";
    std::filesystem::create_directories(lone);
    std::filesystem::copy_file(test::Bin("pacs-vantora-driver"), lone / "pacs-vantora-driver");
    const std::string order = test::SourceDir() + "/samples/order.xml";
    auto r = test::Run({(lone / "pacs-vantora-driver").string(), "--launch", order}, dir.path().string());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "Unable to create " + drafts + "/987_A678.iaf\n");
    EXPECT_TRUE(std::filesystem::is_empty(drafts));
}

}  // namespace
}  // namespace pvd

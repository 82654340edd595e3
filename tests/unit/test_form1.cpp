// Form1's rules with fake services and a fake view: start-up, the watch tick,
// the file dialog, the launch, and the window's lifetime.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "app/Form1.h"
#include "fake_services.h"
#include "fake_view.h"

namespace pvd {
namespace {

using test::FakeServices;
using test::FakeView;

class Form1Test : public testing::Test {
protected:
    FakeServices services;
    FakeView view;
    Form1 form{services, view};
    const std::string xml = "/d/Drafts/ridavaruz.xml";
};

TEST_F(Form1Test, StartUpRunsItsStepsInOrderAndEndsInTheTray) {
    services.dates[xml] = 100;
    ASSERT_TRUE(form.Form_Load());
    EXPECT_EQ(view.caption, "PACS Vantora Driver");
    const std::vector<std::string> order = {"instance", "filecontrol", "filesystem", "ensure-temp", "appname:Vantora Recorder",
                                            "log:Change profile to recorder", "profile:recorder", "startlog", "date", "legacy:" + xml};
    for (std::size_t i = 1; i < order.size(); ++i) EXPECT_LT(services.Index(order[i - 1]), services.Index(order[i])) << order[i];
    EXPECT_FALSE(services.Called("generic:" + xml));  // the fixed layout loaded
    EXPECT_EQ(form.XMLFileDate(), 100);
    EXPECT_TRUE(form.launchEnabled());
    EXPECT_TRUE(view.cmdLaunch && view.mnuLaunch);
    EXPECT_EQ(view.fields, services.legacyFields);
    EXPECT_EQ(view.xmlFileText, xml);
    EXPECT_FALSE(view.visible);
    EXPECT_FALSE(view.minimized);
    EXPECT_EQ(view.trayIcons, 1);
    EXPECT_EQ(services.Count("create:/d/Drafts/987_A678.iaf") + services.Count("start:/d/Drafts/987_A678.iaf"), 0);

    // The timer starts only once the date of the file just loaded is known.
    auto pos = [&](const std::string& e) { return std::find(view.events.begin(), view.events.end(), e) - view.events.begin(); };
    EXPECT_LT(pos("launch-off"), pos("launch-on"));
    EXPECT_LT(pos("launch-on"), pos("timer"));
    EXPECT_LT(pos("timer"), pos("tray-add"));
    EXPECT_LT(pos("tray-add"), pos("hide"));

    form.Timer1_Timer();  // unchanged file: nothing
    EXPECT_EQ(services.Count("legacy:" + xml), 1);
}

TEST_F(Form1Test, ARewriteDuringTheStartUpLoadIsLaunchedByTheFirstTick) {
    services.dates[xml] = 100;
    services.duringLoad = [&] { services.dates[xml] = 101; };
    form.Form_Load();
    EXPECT_EQ(form.XMLFileDate(), 100);
    services.duringLoad = nullptr;
    form.Timer1_Timer();
    EXPECT_EQ(form.XMLFileDate(), 101);
    EXPECT_TRUE(services.Called("start:/d/Drafts/987_A678.iaf"));
}

TEST_F(Form1Test, BothLoadersParseOneReadingOfTheFile) {
    services.legacyOk = false;
    services.dates[xml] = 100;
    form.Form_Load();
    services.dates[xml] = 200;
    form.Timer1_Timer();
    EXPECT_EQ(services.reads, 2);
    EXPECT_EQ(services.legacySaw, (std::vector<std::string>{"version 1", "version 2"}));
    EXPECT_EQ(services.genericSaw, services.legacySaw);
}

TEST_F(Form1Test, OnlyWhenTheFixedLayoutFailsIsTheGenericLoaderTried) {
    services.legacyOk = false;
    ASSERT_TRUE(form.Form_Load());
    EXPECT_TRUE(services.Called("generic:" + xml));
    EXPECT_TRUE(form.launchEnabled());

    FakeServices none;
    none.legacyOk = none.genericOk = false;
    FakeView v2;
    Form1 f2(none, v2);
    f2.Form_Load();
    EXPECT_FALSE(f2.launchEnabled());
    EXPECT_FALSE(v2.cmdLaunch || v2.mnuLaunch);
    EXPECT_TRUE(v2.timerEnabled);
}

TEST_F(Form1Test, AFailingStepIsSkippedAndStartUpGoesOn) {
    services.failing = {"filecontrol", "ensure-temp", "profile-path", "startlog", "legacy:" + xml};
    ASSERT_TRUE(form.Form_Load());
    EXPECT_TRUE(services.Called("appname:Vantora Recorder"));
    EXPECT_FALSE(services.Called("log:Change profile to recorder"));  // its step failed as a whole
    EXPECT_FALSE(services.Called("generic:" + xml));                 // step 12 failed: ok stays false
    EXPECT_FALSE(form.launchEnabled());
    EXPECT_TRUE(view.timerEnabled);
    EXPECT_EQ(view.trayIcons, 1);
    EXPECT_FALSE(view.visible);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(Form1Test, ASecondInstanceEndsAtOnceWithNothingShown) {
    services.another = true;
    EXPECT_FALSE(form.Form_Load());
    EXPECT_TRUE(view.quit);
    EXPECT_EQ(services.calls, std::vector<std::string>{"instance"});
    EXPECT_EQ(view.events, std::vector<std::string>{"quit"});
}

TEST_F(Form1Test, TickReloadsAndLaunchesOnlyANewerFile) {
    services.dates[xml] = 100;
    form.Form_Load();
    services.dates[xml] = 100;
    form.Timer1_Timer();
    EXPECT_EQ(services.Count("legacy:" + xml), 1);

    services.dates[xml] = 200;
    form.Timer1_Timer();
    EXPECT_EQ(form.XMLFileDate(), 200);
    EXPECT_TRUE(services.Called("create:/d/Drafts/987_A678.iaf"));
    EXPECT_TRUE(services.Called("start:/d/Drafts/987_A678.iaf"));

    // An older file (replaced by a copy) or a vanished file does nothing.
    services.dates[xml] = 150;
    form.Timer1_Timer();
    services.dates.erase(xml);
    form.Timer1_Timer();
    EXPECT_EQ(services.Count("legacy:" + xml), 2);
    EXPECT_EQ(services.Count("start:/d/Drafts/987_A678.iaf"), 1);
}

TEST_F(Form1Test, AFailedLoadIsRetriedAndLaunchesNothing) {
    services.dates[xml] = 100;
    form.Form_Load();
    services.legacyOk = services.genericOk = false;
    services.dates[xml] = 200;
    form.Timer1_Timer();
    form.Timer1_Timer();
    EXPECT_EQ(services.Count("generic:" + xml), 2);
    EXPECT_EQ(form.XMLFileDate(), 100);
    EXPECT_FALSE(services.Called("start:/d/Drafts/987_A678.iaf"));
    EXPECT_TRUE(form.launchEnabled());  // not disabled by a failed reload

    services.legacyOk = true;
    form.Timer1_Timer();
    EXPECT_EQ(form.XMLFileDate(), 200);
    EXPECT_EQ(services.Count("start:/d/Drafts/987_A678.iaf"), 1);
}

TEST_F(Form1Test, MissingFileAtStartIsLoadedAndLaunchedWhenItAppears) {
    services.legacyOk = services.genericOk = false;
    form.Form_Load();
    EXPECT_EQ(form.XMLFileDate(), 0);
    EXPECT_FALSE(form.launchEnabled());
    form.Timer1_Timer();
    EXPECT_EQ(services.Count("legacy:" + xml), 1);  // no date: not even tried

    services.legacyOk = true;
    services.dates[xml] = 50;
    form.Timer1_Timer();
    EXPECT_TRUE(form.launchEnabled());
    EXPECT_TRUE(view.mnuLaunch);
    EXPECT_TRUE(services.Called("start:/d/Drafts/987_A678.iaf"));
}

TEST_F(Form1Test, DialogLoadsAndRemembersButNeverLaunches) {
    services.dates[xml] = 100;
    form.Form_Load();
    const auto callsBefore = services.calls.size();

    view.dialogAnswer = std::nullopt;  // cancelled
    form.cmdXmlFile_Click();
    EXPECT_EQ(view.dialogTitle, "Select XML File");
    EXPECT_EQ(view.dialogFilter, "XML File (*.xml)|*.xml");
    EXPECT_EQ(view.dialogFlags, 4100);
    EXPECT_EQ(view.dialogInitial, xml);
    EXPECT_EQ(services.calls.size(), callsBefore + 1);  // only the initial file name was read
    EXPECT_TRUE(services.settings.empty());

    services.legacyOk = services.genericOk = false;
    view.dialogAnswer = "/other/bad.xml";
    form.txtXMLFile_DblClick();
    EXPECT_TRUE(services.settings.empty());
    EXPECT_EQ(form.XMLFileDate(), 100);

    services.legacyOk = true;
    services.dates["/other/new.xml"] = 300;
    services.duringLoad = [&] { services.dates["/other/new.xml"] = 301; };
    view.dialogAnswer = "/other/new.xml";
    form.cmdXmlFile_Click();
    services.duringLoad = nullptr;
    EXPECT_EQ(services.settings["XMLDataPath"], "/other/new.xml");
    EXPECT_EQ(form.XMLFileDate(), 300);  // the rewrite during the load is still ahead
    EXPECT_EQ(view.xmlFileText, "/other/new.xml");
    EXPECT_FALSE(services.Called("start:/d/Drafts/987_A678.iaf"));
}

TEST_F(Form1Test, LaunchCreatesOnceReusesAfterAndReportsFailure) {
    form.order().fields = {"987", "A678", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Created);
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
    EXPECT_EQ(services.Count("create:/d/Drafts/987_A678.iaf"), 1);
    EXPECT_EQ(services.Count("start:/d/Drafts/987_A678.iaf"), 2);

    services.createOk = false;
    form.order().fields.txtMRN = "988";
    form.mnuLaunch_Click();
    EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to create /d/Drafts/988_A678.iaf"});
    EXPECT_FALSE(services.Called("start:/d/Drafts/988_A678.iaf"));
}

TEST_F(Form1Test, WindowLifetimeThroughTrayCloseAndExit) {
    form.Form_Load();
    form.Form_MouseMove(514);  // a single click does nothing
    EXPECT_FALSE(view.visible);
    form.Form_MouseMove(kTrayDoubleClick);
    EXPECT_TRUE(view.visible);
    EXPECT_EQ(view.trayIcons, 0);

    int cancel = 0;
    form.Form_QueryUnload(cancel, kQueryUnloadFromUser);  // close box
    EXPECT_EQ(cancel, 1);
    EXPECT_FALSE(view.visible);
    EXPECT_EQ(view.trayIcons, 1);

    form.mnuClose_Click();  // while already hidden: still one icon
    EXPECT_EQ(view.trayIcons, 1);

    cancel = 0;
    form.Form_QueryUnload(cancel, 2);  // end of session: closes, not hidden to the tray
    EXPECT_EQ(cancel, 0);

    form.Form_MouseMove(kTrayDoubleClick);
    form.mnuExit_Click();  // also while open
    EXPECT_TRUE(view.quit);
    EXPECT_TRUE(form.exiting());
    EXPECT_EQ(view.trayIcons, 0);
}

TEST_F(Form1Test, WithoutANotificationAreaTheWindowIsMinimisedNotHidden) {
    view.trayAvailable = false;
    form.Form_Load();
    EXPECT_TRUE(view.visible);
    EXPECT_TRUE(view.minimized);
    form.Form_MouseMove(kTrayDoubleClick);
    form.mnuClose_Click();
    EXPECT_TRUE(view.visible);
    EXPECT_TRUE(view.minimized);
}

}  // namespace
}  // namespace pvd

// The Qt window offscreen: controls, captions, geometry, menu, tab order, and
// that its events reach Form1.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "app/qt/MainWindow.h"
#include "fake_services.h"

namespace pvd {
namespace {

class View : public testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "view_tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) new QApplication(argc, argv);
    }
    test::FakeServices services;
    MainWindow window;
    Form1 form{services, window};
    void SetUp() override { window.Attach(&form); }

    template <typename T>
    T* Find(const char* name) {
        T* w = window.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
};

TEST_F(View, ControlsStandWhereTheLayoutPutsThem) {
    struct Expect {
        const char* name;
        const char* text;
        int l, t, w, h;
    };
    const Expect labels[] = {{"Label1", "MRN", 240, 240, 1215, 255},   {"Label2", "Accession Number", 2880, 240, 1455, 255},
                             {"Label3", "Study", 240, 960, 975, 255},  {"Label4", "Patient", 2880, 960, 735, 255},
                             {"Label6", "User ID", 240, 1680, 975, 255}, {"Label5", "XML File", 240, 2280, 1575, 255}};
    for (const auto& e : labels) {
        auto* l = Find<QLabel>(e.name);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->text(), e.text);
        EXPECT_EQ(l->geometry().topLeft(), QPoint(Twips(e.l), Twips(e.t))) << e.name;
        EXPECT_EQ(l->height(), Twips(e.h)) << e.name;
        EXPECT_GE(l->width(), Twips(e.w)) << e.name;
        EXPECT_GE(l->width(), l->sizeHint().width()) << e.name << ": caption cut off";
        EXPECT_LE(l->geometry().right(), window.centralWidget()->width()) << e.name;
        EXPECT_EQ(l->focusPolicy(), Qt::NoFocus);
    }
    const Expect edits[] = {{"txtMRN", "Text1", 240, 480, 1935, 285},     {"txtAccession", "Text1", 2880, 480, 1935, 285},
                            {"txtStudy", "Text1", 240, 1200, 1935, 285},  {"txtPatient", "Text1", 2880, 1200, 1935, 285},
                            {"txtUserID", "Text1", 240, 1920, 1935, 285}, {"txtXMLFile", "Text1", 240, 2520, 4095, 375}};
    for (const auto& e : edits) {
        auto* t = Find<QLineEdit>(e.name);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->text(), e.text);
        EXPECT_EQ(t->geometry(), QRect(Twips(e.l), Twips(e.t), Twips(e.w), Twips(e.h))) << e.name;
    }
    auto* launch = Find<QPushButton>("cmdLaunch");
    EXPECT_EQ(launch->text(), "Launch");
    EXPECT_EQ(launch->geometry(), QRect(Twips(3720), Twips(3120), Twips(1095), Twips(495)));
    auto* pick = Find<QPushButton>("cmdXmlFile");
    EXPECT_TRUE(pick->text().isEmpty());
    EXPECT_FALSE(pick->icon().isNull());
    EXPECT_EQ(pick->toolTip(), "Select the XML File that will be used");
    EXPECT_EQ(window.centralWidget()->size(), QSize(336, 251));
    EXPECT_EQ(window.windowTitle(), "Form1");
    EXPECT_TRUE(window.windowIcon().availableSizes().contains(QSize(16, 16)));
    EXPECT_TRUE(window.windowIcon().availableSizes().contains(QSize(32, 32)));

    // Keyboard order follows the tab indexes.
    const char* order[] = {"txtMRN", "txtAccession", "txtStudy", "txtPatient", "cmdLaunch", "txtXMLFile", "cmdXmlFile", "txtUserID"};
    auto nextTabStop = [](QWidget* w) {
        do w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    for (std::size_t i = 1; i < std::size(order); ++i)
        EXPECT_EQ(nextTabStop(window.findChild<QWidget*>(order[i - 1]))->objectName(), order[i]);
}

TEST_F(View, FileMenuAndTheLaunchCommandStayInStep) {
    QMenu* menu = window.fileMenu();
    EXPECT_EQ(menu->title(), "File");
    QStringList items;
    for (QAction* a : menu->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, (QStringList{"Launch File", "Close", "-", "Exit"}));
    EXPECT_EQ(window.trayIcon().contextMenu(), menu);

    services.legacyOk = services.genericOk = false;
    form.Form_Load();
    EXPECT_EQ(window.windowTitle(), "PACS Vantora Driver");
    EXPECT_FALSE(Find<QPushButton>("cmdLaunch")->isEnabled());
    EXPECT_FALSE(window.findChild<QAction*>("mnuLaunch")->isEnabled());
    EXPECT_TRUE(window.timer().isActive());
    EXPECT_EQ(window.timer().interval(), 1000);
    EXPECT_EQ(Find<QLineEdit>("txtMRN")->text(), "");
    EXPECT_EQ(Find<QLineEdit>("txtXMLFile")->text(), "/d/Drafts/ridavaruz.xml");
    EXPECT_TRUE(window.isMinimized());  // no notification area offscreen

    services.legacyOk = true;
    services.Write("/d/Drafts/ridavaruz.xml", "order");
    form.OrderFileChanged({FileChange::Complete});
    EXPECT_TRUE(Find<QPushButton>("cmdLaunch")->isEnabled());
    EXPECT_TRUE(window.findChild<QAction*>("mnuLaunch")->isEnabled());
    EXPECT_EQ(Find<QLineEdit>("txtMRN")->text(), "987");
}

TEST_F(View, WhatTheUserTypesIsWhatTheLaunchReads) {
    services.Write("/d/Drafts/ridavaruz.xml", "order");
    form.Form_Load();
    form.Form_MouseMove(kTrayDoubleClick);
    auto* mrn = Find<QLineEdit>("txtMRN");
    mrn->clear();
    QTest::keyClicks(mrn, "42");
    QTest::mouseClick(Find<QPushButton>("cmdLaunch"), Qt::LeftButton);
    EXPECT_TRUE(services.Called("create:/d/Drafts/42_A678.iaf"));
    window.findChild<QAction*>("mnuLaunch")->trigger();
    EXPECT_EQ(services.Count("start:/d/Drafts/42_A678.iaf"), 2);
}

TEST_F(View, CloseBoxHidesAndExitEnds) {
    form.Form_Load();
    form.Form_MouseMove(kTrayDoubleClick);
    ASSERT_TRUE(window.isVisible());
    // Offscreen there is no notification area: the window is minimised, not hidden.
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    window.close();  // the close box
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.isMinimized());
    EXPECT_FALSE(form.exiting());
    form.Form_MouseMove(kTrayDoubleClick);
    EXPECT_FALSE(window.isMinimized());
    window.findChild<QAction*>("mnuClose")->trigger();
    EXPECT_TRUE(window.isMinimized());
    window.findChild<QAction*>("mnuExit")->trigger();
    EXPECT_TRUE(form.exiting());
    EXPECT_FALSE(window.timer().isActive());
}

}  // namespace
}  // namespace pvd

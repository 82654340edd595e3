// The settings above the store: the profile and its sections, the
// application name, the verbose-log window; and, on POSIX, the INI files
// that hold them, written by hand and by the program.
#include <gtest/gtest.h>

#include "platform/environment.h"
#include "settings/systemRegKeys.h"
#include "settings_fixture.h"
#ifndef _WIN32
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <regex>

#include "platform/posix/ini_file.h"
#include "settings/policy.h"
#endif

namespace pvd {
namespace {

using test::NativePath;
using test::ReadFile;
using test::WriteFile;

class SettingsStore : public test::ScratchHome {};

// Reads, the profile's section, and writes that are seen at once and keep
// every other value (on Windows read back from the registry as REG_SZ).
TEST_F(SettingsStore, ValuesAreTrimmedTheProfileNamesItsSectionAndWritesKeepTheRest) {
    ResetSettingsState();  // before the profile is selected
    SetSettingsAppName(kApplicationName);
    PutUserSetting("Defaults", "XMLDataPath", "  /srv/pacs/order.xml ");
    PutUserSetting("Defaults", "Default Path", "/first");
    PutUserSetting("recorder", "Default Path", "/profile");
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", "dflt"), "/srv/pacs/order.xml");
    EXPECT_EQ(GetDefaultSetting("default path", "dflt"), "/first");  // names without regard to case
    EXPECT_EQ(GetDefaultSetting("Missing", 0), "0");
    EXPECT_EQ(GetProfileSetting("Default Path", "dflt"), "/first");  // the profile section is "Defaults" until set
    ASSERT_TRUE(SetCurrentProfile("recorder"));
    EXPECT_FALSE(SetCurrentProfile(""));  // the section stays "recorder"
    EXPECT_EQ(GetProfileSetting("Default Path", "dflt"), "/profile");
    EXPECT_EQ(GetProfileSetting("Missing", "dflt"), "dflt");

    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/new p\xC3\xA4th.xml"));
    ASSERT_TRUE(SaveDefaultSetting("Added", "v"));
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), "/new p\xC3\xA4th.xml");
    EXPECT_EQ(UserSetting("Defaults", "XMLDataPath"), "/new p\xC3\xA4th.xml");
    EXPECT_EQ(UserSetting("Defaults", "Added"), "v");
    EXPECT_EQ(UserSetting("Defaults", "Default Path"), "/first");
    EXPECT_EQ(UserSetting("recorder", "Default Path"), "/profile");
}

TEST_F(SettingsStore, WithoutAnApplicationNameTheExecutableNameIsUsed) {
    ResetSettingsState();
    SetExecutableBaseNameForTesting("some-program");
    EXPECT_EQ(GetSettingsAppName(), "some-program");
    ASSERT_TRUE(SaveDefaultSetting("k", "v"));
    EXPECT_EQ(UserSetting("Defaults", "k", "some-program"), "v");
    SetExecutableBaseNameForTesting("");
}

TEST_F(SettingsStore, ProfileComesFromTheProfileFileName) {
    env.set("APPDATA", dir / "appdata");
    EXPECT_EQ(SelectSettingsProfile(), "recorder");
    EXPECT_EQ(GetProfilePathFilename(), NativePath(dir / "appdata/Vantora/VNRecorder/recorder.pfl"));
    EXPECT_EQ(GetCurrentProfile(), "recorder");

    // A stored file name keeps its name but moves into an existing override folder.
    ResetSettingsState();
    PutUserSetting("Defaults", "ProfilePathFilename", NativePath("/elsewhere/ann.pfl"));
    std::filesystem::create_directories(dir.path() / "profiles" / "VNRecorder");
    env.set("VNPROFILE", dir / "profiles");
    EXPECT_EQ(SelectSettingsProfile(), "ann");
    EXPECT_EQ(GetProfilePathFilename(), NativePath(dir / "profiles/VNRecorder/ann.pfl"));

    // No extension: no profile name, the section stays "Defaults".
    ResetSettingsState();
    PutUserSetting("Defaults", "ProfilePathFilename", NativePath("/p/noextension"));
    env.set("VNPROFILE", std::nullopt);
    EXPECT_EQ(SelectSettingsProfile(), "");
    EXPECT_EQ(GetCurrentProfile(), "Defaults");
}

TEST_F(SettingsStore, VerboseWindowOpensAtTheFirstCheckAndClosesAfterThirtyDays) {
    SetSettingsAppName(kApplicationName);
    FixedClock clock(LocalTime{2026, 12, 7, 10, 0, 0});
    EXPECT_FALSE(IsVerboseLogOn(clock));  // VerboseLog absent: off, but the date is stored
    EXPECT_EQ(GetDefaultSetting("VerboseLogDate", 0), "2027-01-06 10:00:00");

    PutUserSetting("Defaults", "VerboseLog", "1");
    EXPECT_TRUE(IsVerboseLogOn(clock));
    clock.set(FromLocalTime(LocalTime{2027, 1, 6, 9, 59, 59}));
    EXPECT_TRUE(IsVerboseLogOn(clock));
    clock.set(FromLocalTime(LocalTime{2027, 1, 6, 10, 0, 1}));
    EXPECT_FALSE(IsVerboseLogOn(clock));

    SaveDefaultSetting("VerboseLogDate", "0");  // a new window starts at the next check
    EXPECT_TRUE(IsVerboseLogOn(clock));
    EXPECT_EQ(GetDefaultSetting("VerboseLogDate", 0), "2027-02-05 10:00:01");

    for (const char* bad : {"next week", "2027-13-01 00:00:00", "", "2099-12-31 x", "2099-12-31 10", "2099-12-31 23:59:59 and more"}) {
        PutUserSetting("Defaults", "VerboseLogDate", bad);
        EXPECT_FALSE(IsVerboseLogOn(clock)) << bad;
    }
    for (const char* good : {"2099-12-31 23:59:60", "2099-12-31"}) {  // a leap second; a date alone
        PutUserSetting("Defaults", "VerboseLogDate", good);
        EXPECT_TRUE(IsVerboseLogOn(clock)) << good;
    }
    PutUserSetting("Defaults", "VerboseLogDate", "2099-01-01 00:00:00");
    for (const char* notANumber : {"yes", "1x"}) {
        PutUserSetting("Defaults", "VerboseLog", notANumber);
        EXPECT_FALSE(IsVerboseLogOn(clock)) << notANumber;
    }
}

// The POSIX half from here: the INI file format (the registry keeps the
// Windows settings, tested in test_win32_services.cpp).
#ifndef _WIN32
// Files written by hand read as administrators expect; the program's writes
// keep every other line byte for byte, and add what is missing.
TEST_F(SettingsStore, HandWrittenFilesReadAsExpectedAndWritesKeepEveryOtherLine) {
    SetSettingsAppName(kApplicationName);
    WriteSettings("orphan=1\r\n[defaults]\r\nDefault Path = /first \r\nXMLDataPath=  /srv/pacs/order.xml \r\n"
                  "XMLDataPath=/second\r\n; XMLDataPath=/comment\r\nTabbed=\tx\t\r\n[recorder]\r\nDefault Path=/profile\r\n");
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", "dflt"), "/srv/pacs/order.xml");  // first of duplicates, spaces trimmed
    EXPECT_EQ(GetDefaultSetting("default path", "dflt"), "/first");
    EXPECT_EQ(GetDefaultSetting("Tabbed", "dflt"), "\tx\t");  // only spaces are trimmed
    EXPECT_EQ(GetDefaultSetting("orphan", "dflt"), "dflt");
    ASSERT_TRUE(SetCurrentProfile("recorder"));
    EXPECT_EQ(GetProfileSetting("Default Path", "dflt"), "/profile");

    WriteSettings("; kept comment\r\n[Defaults]\r\nVerboseLog=1\r\nXMLDataPath=/old\r\n\r\n[recorder]\r\nDefault Path=/d\r\n");
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/new path.xml"));
    ASSERT_TRUE(SaveDefaultSetting("Added", "v"));
    EXPECT_EQ(ReadFile(Settings()),
              "; kept comment\r\n[Defaults]\r\nVerboseLog=1\r\nXMLDataPath=/new path.xml\r\nAdded=v\r\n\r\n[recorder]\r\nDefault Path=/d\r\n");
    EXPECT_FALSE(SaveDefaultSetting("XMLDataPath", "/evil\n[Defaults]\nVerboseLog=1"));
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), "/new path.xml");

    // The first write creates the file, and the section where it is missing.
    std::filesystem::remove(Settings());
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/x.xml"));
    EXPECT_EQ(ReadFile(Settings()), "[Defaults]\nXMLDataPath=/x.xml\n");
    WriteSettings("[Other]\nk=v");  // no final line end, no Defaults section
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/y.xml"));
    EXPECT_EQ(ReadFile(Settings()), "[Other]\nk=v\n\n[Defaults]\nXMLDataPath=/y.xml\n");
}

// The administrative templates that ship with the program: every reference
// of the ADMX resolves in the en-US ADML, and the policies set exactly the
// key and values the program reads, paths as text and the switch as a number.
TEST(PolicyTemplates, ReferencesResolveAndPoliciesSetWhatTheProgramReads) {
    struct Doc {
        explicit Doc(const std::string& file) : doc(xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET), xmlFreeDoc) {}
        // The text of the attributes or elements that an XPath expression selects.
        std::vector<std::string> All(const char* xpath) const {
            std::vector<std::string> out;
            std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> ctx(xmlXPathNewContext(doc.get()), xmlXPathFreeContext);
            xmlXPathRegisterNs(ctx.get(), BAD_CAST "p", BAD_CAST "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions");
            std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> r(xmlXPathEvalExpression(BAD_CAST xpath, ctx.get()), xmlXPathFreeObject);
            for (int i = 0; r && r->nodesetval && i < r->nodesetval->nodeNr; ++i) {
                std::unique_ptr<xmlChar, void (*)(void*)> text(xmlNodeGetContent(r->nodesetval->nodeTab[i]), xmlFree);
                out.emplace_back(reinterpret_cast<const char*>(text.get()));
            }
            return out;
        }
        std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc;
    };
    const Doc admx(PVD_SOURCE_DIR "/data/policy/vantora.admx"), adml(PVD_SOURCE_DIR "/data/policy/en-US/vantora.adml");
    ASSERT_TRUE(admx.doc && adml.doc);
    auto asSet = [](std::vector<std::string> v) { return std::set<std::string>(v.begin(), v.end()); };
    const auto strings = asSet(adml.All("/p:policyDefinitionResources/p:resources/p:stringTable/p:string/@id"));
    const auto presentations = asSet(adml.All("/p:policyDefinitionResources/p:resources/p:presentationTable/p:presentation/@id"));
    const std::regex ref(R"(\$\((string|presentation)\.([^)]*)\))");
    int refs = 0;
    for (const std::string& value : admx.All("//@*")) {
        for (std::sregex_iterator m(value.begin(), value.end(), ref), end; m != end; ++m, ++refs) {
            const auto& table = (*m)[1] == "string" ? strings : presentations;
            EXPECT_TRUE(table.contains((*m)[2])) << value << " has no entry in the ADML";
        }
    }
    EXPECT_GE(refs, 2 * static_cast<int>(PolicyValues().size()));  // a name and an explanation each
    // Every text box of a presentation belongs to a text element of the ADMX.
    for (const std::string& id : adml.All("//p:presentation/p:textBox/@refId"))
        EXPECT_EQ(admx.All(("//p:policy/p:elements/p:text[@id='" + id + "']").c_str()).size(), 1u) << id;

    std::set<std::string> read, templated;
    for (const PolicyValue& v : PolicyValues()) read.insert(GetPolicyRegistryKey() + " " + v.name);
    for (const std::string& key : admx.All("//p:policy/@key")) EXPECT_EQ(key, GetPolicyRegistryKey());
    EXPECT_EQ(admx.All("//p:policy[@class='Machine']").size(), admx.All("//p:policy").size());  // machine policies only
    for (const std::string& name : admx.All("//p:policy/p:elements/p:text/@valueName")) templated.insert(GetPolicyRegistryKey() + " " + name);
    for (const std::string& name : admx.All("//p:policy[p:enabledValue/p:decimal and p:disabledValue/p:decimal]/@valueName"))
        templated.insert(GetPolicyRegistryKey() + " " + name);
    EXPECT_EQ(templated, read);
    EXPECT_EQ(admx.All("//p:policy/@key").size(), read.size());  // one policy per value
    for (const PolicyValue& v : PolicyValues()) {
        const std::string text = "//p:policy/p:elements/p:text[@valueName='" + std::string(v.name) + "' and @required='true']";
        EXPECT_EQ(admx.All(text.c_str()).size(), v.path ? 1u : 0u) << v.name;
    }
}

// What is written reads back whatever the line ends; what cannot be stored
// is refused, and no file is made for it.
TEST(IniFile, WhatIsWrittenReadsBackAndWhatCannotBeStoredIsRefused) {
    test::TempDir dir;
    for (std::string text : {std::string("\r"), std::string("[Defaults]\r"), std::string("a=1\r\n[x]"), std::string("\r\r\n")}) {
        WriteFile(dir / "s.ini", text);
        ASSERT_TRUE(WriteIniValue(dir / "s.ini", "Defaults", "XMLDataPath", "/x.xml"));
        EXPECT_EQ(ReadIniValue(dir / "s.ini", "Defaults", "XMLDataPath"), "/x.xml") << testing::PrintToString(text);
    }
    EXPECT_FALSE(WriteIniValue(dir / "a.ini", "S", "k", "line\rbreak"));
    EXPECT_FALSE(WriteIniValue(dir / "a.ini", "S", "k=x", "v"));
    EXPECT_FALSE(WriteIniValue("", "S", "k", "v"));
    WriteFile(dir / "blocker", "a file where a folder should be");
    EXPECT_FALSE(WriteIniValue(dir / "blocker/a.ini", "S", "k", "v"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.ini"));
}

#endif

}  // namespace
}  // namespace pvd

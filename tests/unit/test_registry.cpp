// The registry lookups, the .reg reader behind them on POSIX, the special
// folders and the file-name helpers.
#include <gtest/gtest.h>

#include "settings/registry.h"
#include "settings_fixture.h"

namespace pvd {
namespace {

using test::NativePath;
using test::WriteFile;

constexpr const char* kKey = "SOFTWARE\\Vantora\\VNRecorder";

class Registry : public test::ScratchHome {
protected:
    void Machine(std::string_view text) { WriteFile(dir / "machine.reg", text); }
    void User(std::string_view text) {
        std::filesystem::create_directories(dir.path() / "config" / "vantora");
        WriteFile(dir / "config/vantora/registry.reg", text);
    }
    RegistryResult LM(const std::string& name, const RegistryResult& fallback = std::string("fallback")) {
        return ReadRegistryValue(RegistryRoot::LocalMachine, kKey, name, fallback);
    }
};

TEST_F(Registry, ChangesAreSeenAtTheNextRead) {
    const std::string key = "SOFTWARE\\Vantora\\VNR";
    PutMachineValue(key, "PATH", "/opt/a");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, key, "PATH"), "/opt/a");
    PutMachineValue(key, "PATH", "/opt/b");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, key, "PATH"), "/opt/b");
    PutMachineValue(key, "PATH", std::nullopt);
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, key, "PATH"), "");
}

TEST_F(Registry, TheUserNamePlaceholderLeadsToTheProfileFolder) {
    const std::string home = UserHome();
    ASSERT_FALSE(home.empty());
    EXPECT_EQ(ExpandUserNamePlaceholder("<UserName>/Dictation/<username>"), home + "/Dictation/" + home);
    EXPECT_EQ(ExpandUserNamePlaceholder("/srv/<username>/x"), "/srv/<username>/x");  // only in front
    EXPECT_EQ(ExpandUserNamePlaceholder("<user>/x"), "<user>/x");
}

TEST(FileNames, BaseNameAndFileName) {
    EXPECT_EQ(GetFileBaseName(NativePath("/p/recorder.pfl")), "recorder");
    EXPECT_EQ(GetFileBaseName(NativePath("/p.d/recorder")), "");
    EXPECT_EQ(GetFileBaseName("ann.pfl"), "ann");
    EXPECT_EQ(GetFileBaseName(NativePath("/p/.hidden")), "");
    EXPECT_EQ(GetFileBaseName(NativePath("/p/a.b.c")), "a.b");
    EXPECT_EQ(GetFileName(NativePath("/p/q/recorder.pfl")), "recorder.pfl");
    EXPECT_EQ(GetFileName("recorder.pfl"), "recorder.pfl");
    EXPECT_EQ(GetFileName(NativePath("/p/q/")), "");
#ifdef _WIN32
    // Windows takes either separator: a profile path stored with '/' names the same file.
    EXPECT_EQ(GetFileBaseName("C:/p.d/ann.pfl"), "ann");
    EXPECT_EQ(GetFileName("C:\\p/q/recorder.pfl"), "recorder.pfl");
#endif
}

// The POSIX half from here: the .reg file format, and the special folders
// from the XDG variables (the Win32 half is in test_win32_services.cpp).
#ifndef _WIN32
std::string Utf16Le(std::u16string_view s) {
    std::string out = "\xFF\xFE";
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

TEST_F(Registry, EveryValueTypeConvertsAsTheRegistryWould) {
    const std::string longText(2000, 'x');
    Machine("Windows Registry Editor Version 5.00\r\n\r\n"
            "; machine settings\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\r\n"
            "\"Sz\"=\"C:\\\\VnFiles \\\"quoted\\\"\"\r\n"
            "\"Long\"=\"" + longText + "\"\r\n"
            "\"Dword\"=dword:0000002a\r\n"
            "\"Negative\"=dword:ffffffff\r\n"
            "\"Binary\"=hex:01,ff,00\r\n"
            "\"Empty\"=hex:\r\n"
            // "%TEMP%\x" as UTF-16LE with its NUL, over a continuation line
            "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,\\\r\n"
            "  78,00,00,00\r\n"
            "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
            "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n"
            "@=\"default value\"\r\n");
    // Names match without regard to case; expandable text is never expanded.
    const std::pair<const char*, RegistryResult> values[] = {
        {"Sz", std::string("C:\\VnFiles \"quoted\"")}, {"long", longText}, {"Dword", std::int32_t{42}}, {"Negative", std::int32_t{-1}},
        {"Binary", std::vector<std::uint8_t>{1, 0xFF, 0}}, {"Empty", std::vector<std::uint8_t>{}}, {"Expand", std::string("%TEMP%\\x")}, {"Multi", std::string("a\0b", 3)},
        {"Qword", std::string("fallback")}, {"", std::string("default value")}, {"Missing", std::string("fallback")}};
    for (const auto& [name, value] : values) EXPECT_EQ(LM(name), value) << name;
    EXPECT_EQ(ReadRegistryValue(RegistryRoot::LocalMachine, "SOFTWARE\\Other", "Sz"), RegistryResult());
}

TEST_F(Registry, Utf16FilesAndRegedit4FilesBothRead) {
    Machine(Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\r\n"
                    u"\"WorkingDirectory\"=\"/srv/di\u00E9ct/\u6771\u4EAC/\u0080\u07FF\u0800/\U0001F641\xD800/\xDFFF\"\r\n"));
    // One to four bytes of UTF-8 each, with the edges between them; a
    // lone surrogate of either half becomes U+FFFD.
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, kKey, "WorkingDirectory"),
              "/srv/di\xC3\xA9" "ct/\xE6\x9D\xB1\xE4\xBA\xAC/\xC2\x80\xDF\xBF\xE0\xA0\x80/\xF0\x9F\x99\x81\xEF\xBF\xBD/\xEF\xBF\xBD");

    // As Notepad saves it: a UTF-8 mark first, blanks around the "=".
    Machine("\xEF\xBB\xBFREGEDIT4\n\n[HKLM\\SOFTWARE\\Vantora\\VNRecorder]\n\"Expand\" =\thex(2):61,62,00\n\"Sz\"\t=  \"x\"\n");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, kKey, "Expand"), "ab");
    EXPECT_EQ(LM("Sz"), RegistryResult(std::string("x")));
}

TEST_F(Registry, MachineAndUserValuesNeverMix) {
    User("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"WorkingDirectory\"=\"/evil\"\n"
         "[HKLM\\SOFTWARE\\Vantora\\VNR]\n\"PATH\"=\"/evil\"\n"
         "[HKEY_CURRENT_USER\\Network\\Z]\n\"RemotePath\"=\"\\\\\\\\srv\\\\share\"\n"
         "[HKCU\\Network\\X]\n\"RemotePath\"=\"\\\\\\\\short\"\n");
    Machine("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Network\\Y]\n\"RemotePath\"=\"\\\\\\\\machine\"\n");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, kKey, "WorkingDirectory"), "");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, "Network\\Z", "RemotePath"), "\\\\srv\\share");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, "Network\\X", "RemotePath"), "\\\\short");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, "SOFTWARE\\Vantora\\VNR", "PATH"), "");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, "Network\\Y", "RemotePath"), "");
}

TEST_F(Registry, BrokenFilesYieldTheFallbackAndKeepTheGoodLines) {
    static constexpr char kBinary[] = "\x00\x01\xFF garbage \x7F\n";
    for (std::string text : {std::string(), std::string(kBinary, sizeof kBinary - 1),
                             std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"Sz\"=hex:01,\\\n"),
                             std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"Sz\"=\"no end\n")}) {
        Machine(text);
        EXPECT_EQ(LM("Sz"), RegistryResult(std::string("fallback"))) << testing::PrintToString(text);
    }
    Machine("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"Bad\"=dword:zz\n\"Bad2\"=hex:123\n\"Bad3\"=hex:01,x2\n"
            "[broken\n\"Orphan\"=\"x\"\n[\\]\n\"Rootless\"=\"x\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"Good\"=\"yes\"\n\"Empty\"=hex(1):\n");
    for (const char* name : {"Bad", "Bad2", "Bad3", "Orphan"}) EXPECT_EQ(LM(name), RegistryResult(std::string("fallback"))) << name;
    EXPECT_EQ(LM("Good"), RegistryResult(std::string("yes")));
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::LocalMachine, kKey, "Empty"), "");  // zero-size text reads as empty
}

TEST_F(Registry, SpecialFoldersFromTheXdgVariables) {
    env.set("XDG_DOCUMENTS_DIR", std::nullopt);
    EXPECT_EQ(GetSpecialFolder(40), dir / "home");
    EXPECT_EQ(GetSpecialFolder(5), dir / "home/Documents");
    std::filesystem::create_directories(dir.path() / "config");
    WriteFile(dir / "config/user-dirs.dirs", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(GetSpecialFolder(5), dir / "home/Dokumente");
    env.set("XDG_DOCUMENTS_DIR", dir / "docs/");
    EXPECT_EQ(GetSpecialFolder(5), dir / "docs");
    EXPECT_EQ(GetSpecialFolder(26), "");
}

#endif

}  // namespace
}  // namespace pvd

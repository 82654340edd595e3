// Where things live: the precedence of every location lookup, and the file helpers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "app/activity_log.h"
#include "app/order_file.h"
#include "fileutil/FileFunctions.h"
#include "platform/posix/statfs_drive_type.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings_fixture.h"

namespace pvd {
namespace {

using test::WriteFile;

class Paths : public test::ScratchHome {};

TEST_F(Paths, AppDataFolderFallsThroughItsSources) {
    env.set("APPDATA", dir / "appdata");
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), dir / "appdata/Vantora/VNRecorder");
    env.set("APPDATA", "");  // empty counts as unset: the XDG folder answers for it
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), dir / "config/Vantora/VNRecorder");
    env.set("XDG_CONFIG_HOME", "").set("HOME", "").set("USERPROFILE", dir / "ann");
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), dir / "ann/Vantora/VNRecorder");
    env.set("USERPROFILE", "");
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), ExecutableFolder());
}

TEST_F(Paths, ProfileFolderRegistryThenEnvironmentThenAppData) {
    env.set("VNPROFILE", dir / "other");
    MachineValues("SOFTWARE\\Vantora\\VNRecorder", "\"VNPROFILE\"=\"/prof/\"\n");
    EXPECT_EQ(GetProfileFolder("VNRecorder"), "/prof/");  // used exactly as stored
    EXPECT_FALSE(ProfileFolderOverrideExists("VNRecorder"));  // /prof/ does not exist

    MachineValues("SOFTWARE\\Vantora\\VNRecorder", "");
    EXPECT_EQ(GetProfileFolder("VNRecorder"), dir / "other/VNRecorder");
    env.set("VNPROFILE", dir / "other/");
    EXPECT_EQ(GetProfileFolder("VNRecorder"), dir / "other/VNRecorder");
    EXPECT_FALSE(ProfileFolderOverrideExists("VNRecorder"));
    std::filesystem::create_directories(dir.path() / "other" / "VNRecorder");
    EXPECT_TRUE(ProfileFolderOverrideExists("VNRecorder"));

    env.set("VNPROFILE", "");
    EXPECT_EQ(GetProfileFolder("VNRecorder"), dir / "config/Vantora/VNRecorder");
    EXPECT_FALSE(ProfileFolderOverrideExists("VNRecorder"));
}

TEST_F(Paths, DictationRootPrecedence) {
    SetSettingsAppName(kApplicationName);
    // Built-in root when nothing is configured and documents has no VnFiles.
    EXPECT_EQ(GetDictationRootFolder(), dir / "home/VnFiles");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "home" / "VnFiles"));  // never created

    std::filesystem::create_directories(dir.path() / "home" / "Documents" / "VnFiles");
    EXPECT_EQ(GetDictationRootFolder(), dir / "home/Documents/VnFiles");

    env.set("VNFILES_PATH", dir / "vnfiles");
    EXPECT_EQ(GetDictationRootFolder(), dir / "vnfiles");

    WriteSettings("[Defaults]\nDefault Path=<USERNAME>/Dictation\n");
    EXPECT_EQ(GetDictationRootFolder(), dir / "home/Dictation");
    EXPECT_EQ(GetDraftsFolder(), dir / "home/Dictation/Drafts");

    MachineValues("SOFTWARE\\Vantora\\VNRecorder", "\"WorkingDirectory\"=\"/srv/dict\"\n");
    PathSource source;
    EXPECT_EQ(GetDraftsFolder(&source), "/srv/dict/Drafts");
    EXPECT_NE(source.text.find("registry"), std::string::npos);
}

TEST_F(Paths, RootOffTheLocalDiskFallsBackUnlessTheUserStoredIt) {
    struct statfs fs{};
    if (statfs("/dev/shm", &fs) != 0 || DriveTypeOfFileSystem(static_cast<std::int64_t>(fs.f_type)) == kDriveFixed)
        GTEST_SKIP() << "no RAM disk at /dev/shm to stand for a drive that is not fixed";
    SetSettingsAppName(kApplicationName);
    env.set("VNFILES_PATH", "/dev/shm/vnfiles");
    EXPECT_EQ(GetDictationRootFolder(), dir / "home/VnFiles");
    WriteSettings("[Defaults]\nDefault Path=/dev/shm/vnfiles\n");
    EXPECT_EQ(GetDictationRootFolder(), "/dev/shm/vnfiles");
}

TEST_F(Paths, XmlFileFollowsTheSettingAtEveryCall) {
    SetSettingsAppName(kApplicationName);
    EXPECT_EQ(GetXMLFilename(), dir / "home/VnFiles/Drafts/ridavaruz.xml");
    WriteSettings("[Defaults]\nXMLDataPath=  /srv/pacs/order.xml \n");
    EXPECT_EQ(GetXMLFilename(), "/srv/pacs/order.xml");
}

TEST_F(Paths, FileQuestionsHaveFixedAnswersWhenTheyCannotBeAnswered) {
    const std::string file = dir / "f.xml";
    WriteFile(file, "x");
    EXPECT_TRUE(FileExistsQuiet(file));
    EXPECT_FALSE(FileExistsQuiet(dir.path().string()));
    EXPECT_FALSE(FolderExistsQuiet(file));
    EXPECT_FALSE(FileExistsQuiet(""));
    EXPECT_EQ(GetFileModifiedDate(dir / "missing"), 0);
    EXPECT_GT(GetFileModifiedDate(file), 0);

    // Two rewrites within one second still differ.
    struct timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, 100}};
    utimensat(AT_FDCWD, file.c_str(), times, 0);
    FileDate first = GetFileModifiedDate(file);
    times[1].tv_nsec = 200;
    utimensat(AT_FDCWD, file.c_str(), times, 0);
    EXPECT_GT(GetFileModifiedDate(file), first);

    EXPECT_EQ(GetPathDriveType("\\\\srv\\share\\x"), kDriveNetwork);
    EXPECT_EQ(GetPathDriveType(""), kDriveNetwork);
    EXPECT_EQ(GetPathDriveType(dir / "not/yet/created"), GetPathDriveType(dir.path().string()));
    EXPECT_TRUE(HasDriveLetter("Q:\\x"));
    EXPECT_FALSE(HasDriveLetter("\\\\srv\\x"));
    EXPECT_FALSE(HasDriveLetter("/home/x"));
    EXPECT_EQ(ResolveMappedDrive(dir / "a/b.pfl", true), dir / "a/b.pfl");  // no drive letters here
    EXPECT_EQ(DriveTypeOfFileSystem(0x6969), kDriveNetwork);
    EXPECT_EQ(DriveTypeOfFileSystem(0xFF534D42), kDriveNetwork);
    EXPECT_EQ(DriveTypeOfFileSystem(0x9660), kDriveCdRom);
    EXPECT_EQ(DriveTypeOfFileSystem(0x01021994), kDriveRam);
    EXPECT_EQ(DriveTypeOfFileSystem(0xEF53), kDriveFixed);
}

TEST_F(Paths, CreateFolderPathMakesEveryMissingLevel) {
    std::filesystem::create_directories(dir.path() / "a");
    EXPECT_TRUE(CreateFolderPath(dir / "a/b/c"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b" / "c"));
    EXPECT_TRUE(CreateFolderPath(dir / "a/b/c"));  // already there
    EXPECT_TRUE(CreateFolderPath(dir / "x//y/"));  // empty parts stay parts
    WriteFile(dir / "file", "");
    EXPECT_FALSE(CreateFolderPath(dir / "file/sub"));
    EXPECT_FALSE(CreateFolderPath(""));

    MemoryLog log;
    EnsureTempFolder(dir / "a/b", log);
    EnsureTempFolder(dir / "t/Vantora/VNRecorder", log);
    EXPECT_TRUE(log.lines.empty());
    EnsureTempFolder(dir / "file/Vantora", log);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Unable to create Temp Path " + (dir / "file/Vantora")}));
}

class Log : public test::ScratchHome {
protected:
    std::string LogText() { return test::ReadFile(LogFileName()); }
    static int Count(const std::string& s, const std::string& what) {
        int n = 0;
        for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
        return n;
    }
};

TEST_F(Log, StartEmptiesTheLogUnlessVerboseAndWritesTheStartLines) {
    SetSettingsAppName(kApplicationName);
    SetExecutableBaseNameForTesting("pacs-vantora-driver");
    ASSERT_TRUE(CreateFolderPath(dir / "temp/Vantora/VNRecorder"));
    EXPECT_EQ(LogFileName(), dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log");
    ActivityLog log;
    log.WriteLog("Change profile to recorder");
    log.StartLog();
    log.WriteLog("Load XML /x.xml");
    log.WriteVerboseLog("hidden");
    std::string text = LogText();
    EXPECT_EQ(text.find("Change profile"), std::string::npos);
    EXPECT_NE(text.find(" pacs-vantora-driver starting\n"), std::string::npos);
    EXPECT_NE(text.find("\nversion 1.0. 0 \n"), std::string::npos) << text;
    EXPECT_NE(text.find(" - Load XML /x.xml\n"), std::string::npos);
    EXPECT_EQ(text.find("hidden"), std::string::npos);

    WriteSettings("[Defaults]\nVerboseLog=1\n");
    log.WriteLog("Change profile to again");
    log.StartLog();
    log.WriteVerboseLog("shown");
    text = LogText();
    EXPECT_EQ(Count(text, " starting\n"), 2);  // nothing removed while verbose
    EXPECT_LT(text.find("Change profile to again"), text.rfind(" starting"));
    EXPECT_NE(text.find(" - shown\n"), std::string::npos);
    SetExecutableBaseNameForTesting("");
}

TEST_F(Log, AMissingFolderDropsEntriesSilently) {
    env.set("TEMP", dir / "no/such/folder");
    ActivityLog log;
    log.StartLog();
    log.WriteLog("lost");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));
}

}  // namespace
}  // namespace pvd

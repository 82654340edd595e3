// The format library through its C interface: the bytes it writes, and every
// way a create or a save can fail without harming an existing file.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <thread>

#include "test_support.h"
#include "vnfformat.h"

namespace pvd {

using Fields = std::vector<std::pair<std::string, std::string>>;

namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct Read {
    int32_t rate = -1;
    int16_t channels = -1, format = -1;
    Fields fields;
};

std::string Text(int32_t h, int32_t i, bool value) {
    auto get = value ? VNFGetFieldValue : VNFGetFieldName;
    int32_t n = get(h, i, nullptr, 0);
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    get(h, i, s.data(), n + 1);
    s.resize(static_cast<std::size_t>(n));
    return s;
}

std::optional<Read> ReadBack(const std::string& path) {
    int32_t h = VNFOpenFileRead(path.c_str());
    if (h == 0) return std::nullopt;
    Read r;
    VNFGetRecordWaveParams(h, &r.rate, &r.channels, &r.format);
    for (int32_t i = 0; i < VNFGetFieldCount(h); ++i) r.fields.emplace_back(Text(h, i, false), Text(h, i, true));
    CloseVNFFile(h);
    return r;
}

std::vector<std::string> Listing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Why the last create, save or publish failed, as the library tells it.
std::string LastFailure() {
    std::string text(static_cast<std::size_t>(VNFGetLastFailure(nullptr, 0)) + 1, '\0');
    text.resize(static_cast<std::size_t>(VNFGetLastFailure(text.data(), static_cast<int32_t>(text.size()))));
    return text;
}

}  // namespace

// The system's own words for an error code of this platform (errno, or a
// Win32 error), for every reason the format tests check.
std::string SystemText(int code) {
#ifdef _WIN32
    char text[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0, text, sizeof text,
                   nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
#else
    return std::strerror(code);
#endif
}

// The error codes behind the reasons that the format tests check.
#ifdef _WIN32
extern const int kNoSuchFolder = ERROR_PATH_NOT_FOUND, kFileExists = ERROR_FILE_EXISTS, kNameTaken = ERROR_ALREADY_EXISTS, kFolderName = ERROR_INVALID_NAME;
#else
extern const int kNoSuchFolder = ENOENT, kFileExists = EEXIST, kNameTaken = EEXIST, kFolderName = EISDIR;
#endif

// The fields of a dictation file as the library reads them back; none when
// it cannot be read.
Fields FieldsOf(const std::string& path) {
    const auto r = ReadBack(path);
    return r ? r->fields : Fields{};
}

namespace {

// Every test gets a scratch folder of its own.
class VnfFormat : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(VnfFormat, TwoSavesOfOneHandleKeepEveryFieldInOrderInTheSameBytesOnEveryPlatform) {
    // Also the seed file of the dictation fuzzer, written on Linux: two
    // saves, a repeated name.
    const std::string path = dir / "two-saves.iaf";
    int32_t h = CreateVNFFile(path.c_str());
    ASSERT_NE(h, 0);
    EXPECT_FALSE(std::filesystem::exists(path));  // nothing at the path before the first save
    EXPECT_EQ(VNF_SetRecordWaveParams(h, 11025, 1, 0), VNF_OK);
    EXPECT_EQ(AddVNFField(h, "A", "1"), VNF_OK);
    EXPECT_EQ(AddVNFField(h, "B", "two"), VNF_OK);
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    ASSERT_EQ(ReadBack(path)->fields.size(), 2u);
    EXPECT_EQ(AddVNFField(h, "C", "3"), VNF_OK);
    EXPECT_EQ(AddVNFField(h, "A", "dup"), VNF_OK);  // the same name kept beside the first
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    CloseVNFFile(h);

    // The recording parameters are in the bytes compared below; how they
    // read back is checked with a format code other than 0 further down.
    EXPECT_EQ(ReadBack(path)->fields, (Fields{{"A", "1"}, {"B", "two"}, {"C", "3"}, {"A", "dup"}}));
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"two-saves.iaf"});  // no temporary file left
    EXPECT_EQ(ReadFile(path), ReadFile(test::SourceDir() + "/tests/fuzz/corpus/dictation/two-saves.iaf"));

#ifndef _WIN32  // the standard reader is the host's Python, which a Windows program under Wine cannot start
    // A standard reader sees a 16-bit mono 11025 Hz wave file with no frames.
    const std::string cmd = "python3 -c \"import wave,sys; w=wave.open(sys.argv[1]); "
                            "sys.exit(0 if (w.getframerate(),w.getnchannels(),w.getsampwidth(),w.getnframes())==(11025,1,2,0) else 3)\" '" +
                            path + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
#endif
}

TEST_F(VnfFormat, BadHandlesDoNoHarm) {
    const int32_t closed = CreateVNFFile((dir / "a.iaf").c_str());
    EXPECT_EQ(AddVNFField(closed, nullptr, "v"), VNF_E_ARGUMENT);
    EXPECT_EQ(AddVNFField(closed, "n", nullptr), VNF_E_ARGUMENT);
    CloseVNFFile(closed);
    for (int32_t h : {0, 12345, -7, closed}) {
        EXPECT_NE(VNF_SetRecordWaveParams(h, 1, 1, 0), VNF_OK);
        EXPECT_NE(AddVNFField(h, "a", "b"), VNF_OK);
        EXPECT_NE(SaveVNFFile(h), VNF_OK);
        CloseVNFFile(h);
        EXPECT_EQ(VNFGetFieldCount(h), -1);
        EXPECT_EQ(VNFGetFieldName(h, 0, nullptr, 0), -1);
        EXPECT_EQ(VNFGetFieldValue(h, 0, nullptr, 0), -1);
    }
    EXPECT_TRUE(Listing(dir).empty());  // never saved: nothing, not even the temporary file
    EXPECT_EQ(CreateVNFFile(nullptr), 0);
    EXPECT_EQ(CreateVNFFile(""), 0);
    EXPECT_EQ(VNFOpenFileRead("/nonexistent.iaf"), 0);
}

TEST_F(VnfFormat, CreationFailuresLeaveNothingAndChangeNothing) {
    // A folder that does not exist.
    const std::string missing = dir / "no/such/folder/a.iaf";
    int32_t h = CreateVNFFile(missing.c_str());
    EXPECT_EQ(h, 0);
    EXPECT_NE(AddVNFField(h, "a", "b"), VNF_OK);
    EXPECT_NE(SaveVNFFile(h), VNF_OK);
    // Calls on the handle that never was keep the creation's reason.
    EXPECT_EQ(LastFailure(), "create the file: " + SystemText(kNoSuchFolder));

    // An existing file is never replaced.
    const std::string existing = dir / "old.iaf";
    WriteFile(existing, "recorded audio");
    EXPECT_EQ(CreateVNFFile(existing.c_str()), 0);
    EXPECT_EQ(ReadFile(existing), "recorded audio");
    EXPECT_EQ(LastFailure(), "create the file: " + SystemText(kFileExists));
    // A name that ends as a folder's does, whether that folder is there or not.
    std::filesystem::create_directory(dir / "sub");
    for (const char* folder : {"sub/", "new/"}) {
        EXPECT_EQ(CreateVNFFile((dir / folder).c_str()), 0);
        EXPECT_EQ(LastFailure(), "create the file: " + SystemText(kFolderName)) << folder;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));

    // A file that appears between creation and the first save wins.
    const std::string racing = dir / "race.iaf";
    h = CreateVNFFile(racing.c_str());
    ASSERT_NE(h, 0);
    WriteFile(racing, "someone else");
    EXPECT_EQ(SaveVNFFile(h), VNF_E_EXISTS);
    CloseVNFFile(h);
    EXPECT_EQ(ReadFile(racing), "someone else");
    EXPECT_EQ(LastFailure(), "publish the file under its name: " + SystemText(kNameTaken));
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"old.iaf", "race.iaf", "sub"}));
}

TEST_F(VnfFormat, LargeFieldsAnyBytesAndAnyFormatCodeRoundTrip) {
    const std::string name(1 << 20, 'n'), value(1 << 20, 'v');
    int32_t h = CreateVNFFile((dir / "a.iaf").c_str());
    VNF_SetRecordWaveParams(h, 0x01020304, 2, 0x1234);  // kept exactly as passed, every byte
    ASSERT_EQ(AddVNFField(h, name.c_str(), value.c_str()), VNF_OK);
    ASSERT_EQ(AddVNFField(h, "F_Subject", "Jos\xC3\xA9 \x01\xFF"), VNF_OK);  // bytes as given
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    CloseVNFFile(h);
    auto r = ReadBack(dir / "a.iaf");
    EXPECT_EQ(r->rate, 0x01020304);
    EXPECT_EQ(r->channels, 2);
    EXPECT_EQ(r->format, 0x1234);
    EXPECT_EQ(r->fields, (Fields{{name, value}, {"F_Subject", "Jos\xC3\xA9 \x01\xFF"}}));
    char small[4];
    int32_t hr = VNFOpenFileRead((dir / "a.iaf").c_str());
    EXPECT_EQ(VNFGetFieldValue(hr, 0, small, sizeof small), 1 << 20);
    EXPECT_STREQ(small, "vvv");
    for (const int32_t beyond : {-1, 2}) {
        EXPECT_EQ(VNFGetFieldName(hr, beyond, small, sizeof small), -1);
        EXPECT_EQ(VNFGetFieldValue(hr, beyond, small, sizeof small), -1);
    }
    char one = 'x';  // room for the terminator alone: an empty, terminated text
    EXPECT_EQ(VNFGetFieldValue(hr, 0, &one, 1), 1 << 20);
    EXPECT_EQ(one, '\0');
    // A handle opened for reading writes nothing.
    const std::string before = ReadFile(dir / "a.iaf");
    EXPECT_NE(AddVNFField(hr, "F_Author", "x"), VNF_OK);
    EXPECT_NE(SaveVNFFile(hr), VNF_OK);
    CloseVNFFile(hr);
    EXPECT_EQ(ReadFile(dir / "a.iaf"), before);
}

TEST_F(VnfFormat, DamagedFilesAreNotReadAsDictations) {
    const std::string good = ReadFile(test::SourceDir() + "/tests/fuzz/corpus/dictation/two-saves.iaf");
    ASSERT_FALSE(good.empty());
    for (std::size_t cut : {std::size_t{0}, std::size_t{11}, std::size_t{30}, good.size() - 20}) {
        WriteFile(dir / "cut.iaf", good.substr(0, cut));
        EXPECT_EQ(VNFOpenFileRead((dir / "cut.iaf").c_str()), 0) << cut;
    }
    // Fewer bytes after the last chunk than a chunk's head (a copy padded to
    // a block) are no damage: the file reads as it was.
    WriteFile(dir / "padded.iaf", good + std::string(7, '\0'));
    EXPECT_EQ(FieldsOf(dir / "padded.iaf"), FieldsOf(test::SourceDir() + "/tests/fuzz/corpus/dictation/two-saves.iaf"));
    EXPECT_FALSE(FieldsOf(dir / "padded.iaf").empty());
    // A name length that runs past the chunk, a format chunk one byte too
    // short for its fields (padded, so the chunks after it still line up),
    // and any byte of the RIFF, WAVE or field marks changed (another kind
    // of file).
    std::vector<std::pair<std::size_t, char>> changed = {{good.find("vnff") + 20, '\x7F'}, {good.find("fmt ") + 4, '\x0F'}};
    for (const std::size_t mark : {std::size_t{0}, std::size_t{8}, good.find("VNF1")})
        for (std::size_t i = 0; i < 4; ++i) changed.emplace_back(mark + i, static_cast<char>(good[mark + i] ^ 0x20));
    for (const auto& [at, value] : changed) {
        std::string other = good;
        other[at] = value;
        WriteFile(dir / "other.iaf", other);
        EXPECT_EQ(VNFOpenFileRead((dir / "other.iaf").c_str()), 0) << at;
    }
}


TEST_F(VnfFormat, AFieldThatCannotBeStoredFailsTheSaveInsteadOfShorteningTheFile) {
    const std::string path = dir / "a.iaf";
    int32_t h = VNFCreateFileUnnamed(path.c_str());
    // Fields take up to 256 MiB, each 8 bytes more than its name and value:
    // this one leaves 10 bytes, then one byte too many is refused, and the
    // 10 bytes left can still be taken.
    const std::string huge(256u * 1024u * 1024u - 10u - 9u, 'v');
    EXPECT_EQ(AddVNFField(h, "a", huge.c_str()), VNF_OK);
    EXPECT_EQ(AddVNFField(h, "b", "vv"), VNF_E_ARGUMENT);
    EXPECT_EQ(AddVNFField(h, "c", "v"), VNF_OK);
    EXPECT_NE(SaveVNFFile(h), VNF_OK);
    EXPECT_NE(VNFPublishFile(h), VNF_OK);
    CloseVNFFile(h);
    EXPECT_TRUE(Listing(dir).empty());
}

#ifndef _WIN32  // from here POSIX only: fork, permission bits, file-size limits, flock, FIFOs, unnamed files and the no-links shim
// Runs body in a child process and returns its exit status.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(VnfFormat, ReadOnlyFolderRefusesCreation) {
    const auto ro = dir.path() / "ro", rw = dir.path() / "rw";
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    for (const auto& [folder, mode] : {std::pair{ro, 0505}, std::pair{rw, 0777}}) {
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms(mode));
    }
    const std::string path = (ro / "a.iaf").string();
    const std::string control = (rw / "a.iaf").string();
    // Root writes anywhere; the check runs as an unprivileged user then, who
    // must still be able to create in the writable folder beside it.
    int rc = InChild([&] {
        if (geteuid() == 0 && setuid(65534) != 0) return 10;
        int32_t ok = CreateVNFFile(control.c_str());
        if (ok == 0) return 11;
        CloseVNFFile(ok);
        if (CreateVNFFile(path.c_str()) != 0) return 1;
        return LastFailure() == "create the file: " + SystemText(EACCES) ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(VnfFormat, FullDiskFailsTheSaveAndLeavesNoFile) {
    const std::string path = dir / "big.iaf";
    const std::string big(1 << 20, 'v');
    int rc = InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 10;
        int32_t h = CreateVNFFile(path.c_str());
        if (h == 0) return 11;
        if (AddVNFField(h, "F_Matter", big.c_str()) != VNF_OK) return 12;
        int16_t s = SaveVNFFile(h);
        CloseVNFFile(h);
        if (s != VNF_E_IO) return 13;
        return LastFailure() == "save the file: " + SystemText(EFBIG) ? 0 : 14;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(Listing(dir).empty());
}


// Unnamed files and the no-links shim are Linux's; Windows builds under a hidden name (below).
// The no-links shim linked into this program takes away what exFAT, FUSE
// mounts and folders without /proc lack: unnamed files, no-replace renames,
// links. Every switch is off again when this ends.
class FolderWithout {
public:
    ~FolderWithout() { Only({}); }
    void Only(const std::vector<std::string>& missing) {
        for (const char* name : {"PVD_NO_TMPFILE", "PVD_NO_RENAMEAT2", "PVD_NO_LINKS"}) unsetenv(name);
        for (const std::string& name : missing) {  // NAME, or NAME=VALUE
            const std::size_t eq = name.find('=');
            setenv(name.substr(0, eq).c_str(), eq == std::string::npos ? "1" : name.c_str() + eq + 1, 1);
        }
    }
};

TEST_F(VnfFormat, AFileAppearsOnlyAtItsPublishCompleteOnceAndNeverOverAnotherOne) {
    FolderWithout folder;
    // An unnamed file linked by its descriptor; a hidden temporary then
    // no-replace rename, link, or the checked rename; an unnamed file that
    // cannot be linked by its descriptor published through a hidden
    // temporary, renamed or with the checked rename. Kernels and mounts
    // without unnamed files say so with one of three errors.
    const std::vector<std::vector<std::string>> folders = {{},
                                                           {"PVD_NO_TMPFILE"},
                                                           {"PVD_NO_TMPFILE=EISDIR"},
                                                           {"PVD_NO_TMPFILE=EINVAL", "PVD_NO_RENAMEAT2"},
                                                           {"PVD_NO_TMPFILE", "PVD_NO_RENAMEAT2", "PVD_NO_LINKS"},
                                                           {"PVD_NO_LINKS"},
                                                           {"PVD_NO_LINKS", "PVD_NO_RENAMEAT2"}};
    for (const auto& missing : folders) {
        folder.Only(missing);
        auto lacks = [&](std::string_view what) {
            return std::any_of(missing.begin(), missing.end(), [&](const std::string& m) { return m.starts_with(what); });
        };
        const bool unnamed = !lacks("PVD_NO_TMPFILE"), checkedRename = lacks("PVD_NO_RENAMEAT2") && lacks("PVD_NO_LINKS");
        SCOPED_TRACE("without " + testing::PrintToString(missing));
        // Every descriptor the files took is given back: a day of launches
        // must not run the program out of them.
        const auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
        TempDir here;  // a folder of this kind
        const std::string name(240, 'n');  // a long name leaves room for no long temporary
        const std::string path = here / name;
        int32_t h = VNFCreateFileUnnamed(path.c_str());
        ASSERT_NE(h, 0);
        AddVNFField(h, "D_Created", "07-Dec-2026");
        ASSERT_EQ(SaveVNFFile(h), VNF_OK);
        AddVNFField(h, "F_Subject", "987");
        ASSERT_EQ(SaveVNFFile(h), VNF_OK);
        const std::vector<std::string> building = Listing(here);  // both saves made: nothing, or a hidden temporary
        ASSERT_EQ(building.size(), unnamed ? 0u : 1u);
        if (!unnamed) {
            EXPECT_TRUE(building[0].starts_with(".vnf-") && building[0].ends_with(".tmp")) << building[0];
            // A creation that hangs for an hour keeps its temporary from
            // another process's sweep.
            std::filesystem::last_write_time(here / building[0], std::filesystem::file_time_type::clock::now() - std::chrono::hours(2));
            EXPECT_EQ(InChild([&] { return VNFRemoveStaleTemporaries(here.path().c_str()); }), 0);
        }
        ASSERT_EQ(VNFPublishFile(h), VNF_OK);
        // The publish let go of the file: a descriptor opened since, which
        // may get the same number, outlives the handle's close.
        const int mine = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        CloseVNFFile(h);
        EXPECT_NE(fcntl(mine, F_GETFD), -1);
        close(mine);
        EXPECT_EQ(ReadBack(path)->fields, (Fields{{"D_Created", "07-Dec-2026"}, {"F_Subject", "987"}}));

        // Closed unpublished: nothing left. A file that appears at the name
        // once the temporary is made stays.
        h = VNFCreateFileUnnamed((here / "b.iaf").c_str());
        ASSERT_EQ(SaveVNFFile(h), VNF_OK);
        CloseVNFFile(h);
        const std::string taken = here / "988_A678.iaf";
        h = VNFCreateFileUnnamed(taken.c_str());
        AddVNFField(h, "F_Subject", "988");
        ASSERT_EQ(SaveVNFFile(h), VNF_OK);
        WriteFile(taken, "recorded");
        EXPECT_EQ(VNFPublishFile(h), VNF_E_EXISTS);
        EXPECT_EQ(LastFailure(), "publish the file under its name: " + SystemText(EEXIST));
        CloseVNFFile(h);
        EXPECT_EQ(ReadFile(taken), "recorded");
        // No temporary is left; the folder's lock only where a rename needed it.
        std::vector<std::string> left{"988_A678.iaf", name};
        if (checkedRename) left.insert(left.begin(), ".vnf-publish.lock");
        EXPECT_EQ(Listing(here), left);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), fds);
    }

    // With nothing but a rename, the check that the name is free and the
    // rename wait for another publisher that holds the folder's lock.
    folder.Only({"PVD_NO_TMPFILE", "PVD_NO_RENAMEAT2", "PVD_NO_LINKS"});
    const std::string path = dir / "987_A678.iaf";
    const int lock = open((dir / ".vnf-publish.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    int32_t h = VNFCreateFileUnnamed(path.c_str());
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    std::atomic<int> status{-1};
    std::thread publisher([&] { status = VNFPublishFile(h); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(status, -1);
    WriteFile(path, "theirs");
    close(lock);
    publisher.join();
    EXPECT_EQ(status, VNF_E_EXISTS);
    CloseVNFFile(h);
    EXPECT_EQ(ReadFile(path), "theirs");
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{".vnf-publish.lock", "987_A678.iaf"}));

    // One that holds it for good (hung on a share): the wait ends after 10 s,
    // with the reason, and nothing is published.
    const int held = open((dir / ".vnf-publish.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    h = VNFCreateFileUnnamed((dir / "989_A678.iaf").c_str());
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    auto waiting = std::async(std::launch::async, [&] { return VNFPublishFile(h); });
    const bool ended = waiting.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    close(held);  // lets a publisher that never gives up finish, so that the test ends
    EXPECT_TRUE(ended) << "the wait for the folder's lock never ends";
    EXPECT_EQ(waiting.get(), VNF_E_IO);
    EXPECT_EQ(LastFailure(), "lock the folder: " + SystemText(EWOULDBLOCK));
    CloseVNFFile(h);
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{".vnf-publish.lock", "987_A678.iaf"}));

    // A link planted under the lock's name is never followed: the publish
    // fails, and nothing is made where the link points.
    // A folder there is no lock either; neither leaves a descriptor behind.
    const auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    for (const int error : {ELOOP, EISDIR}) {
        std::filesystem::remove(dir / ".vnf-publish.lock");
        if (error == ELOOP) std::filesystem::create_symlink(dir / "planted", dir / ".vnf-publish.lock");
        else std::filesystem::create_directory(dir / ".vnf-publish.lock");
        h = VNFCreateFileUnnamed((dir / "988_A678.iaf").c_str());
        ASSERT_EQ(SaveVNFFile(h), VNF_OK);
        EXPECT_EQ(VNFPublishFile(h), VNF_E_IO);
        EXPECT_EQ(LastFailure(), "lock the folder: " + SystemText(error));
        CloseVNFFile(h);
        EXPECT_EQ(Listing(dir), (std::vector<std::string>{".vnf-publish.lock", "987_A678.iaf"}));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), fds);
}

// A save of a published file goes through a new hidden temporary. When none
// can be made, or closing it reports a write that failed late, the save
// fails with the system's reason and the published file stays as it was.
TEST_F(VnfFormat, APublishedFileIsReplacedOnlyByATemporaryThatWasWholeAndClosed) {
    const std::string path = dir / "a.iaf";
    int32_t h = VNFCreateFileUnnamed(path.c_str());
    AddVNFField(h, "F_Subject", "987");
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    ASSERT_EQ(VNFPublishFile(h), VNF_OK);
    const std::string published = ReadFile(path);
    AddVNFField(h, "F_Author", "dr");
    for (const auto& [fault, why] : {std::pair{"PVD_NO_TEMPFILES", "create the file: " + SystemText(EDQUOT)},
                                     std::pair{"PVD_FAIL_CLOSE", "save the file: " + SystemText(EIO)}}) {
        setenv(fault, "1", 1);
        EXPECT_EQ(SaveVNFFile(h), VNF_E_IO) << fault;
        unsetenv(fault);
        EXPECT_EQ(LastFailure(), why);
        EXPECT_EQ(ReadFile(path), published) << fault;
        EXPECT_EQ(Listing(dir), std::vector<std::string>{"a.iaf"}) << fault;
    }
    EXPECT_EQ(SaveVNFFile(h), VNF_OK);
    CloseVNFFile(h);
    EXPECT_EQ(FieldsOf(path), (Fields{{"F_Subject", "987"}, {"F_Author", "dr"}}));
}

TEST_F(VnfFormat, SpecialFilesAreNeverReadAsDictations) {
    ASSERT_EQ(mkfifo((dir / "fifo.iaf").c_str(), 0600), 0);
    EXPECT_EQ(VNFOpenFileRead((dir / "fifo.iaf").c_str()), 0);  // at once, not blocked on a writer
    EXPECT_EQ(VNFOpenFileRead(dir.path().c_str()), 0);
    EXPECT_EQ(VNFCreateFileUnnamed((dir / "fifo.iaf").c_str()), 0);
}

#else
TEST_F(VnfFormat, WindowsBuildsUnderAHiddenName) {
    const std::string path = dir / "987_A678.iaf";
    int32_t h = VNFCreateFileUnnamed(path.c_str());
    ASSERT_NE(h, 0);
    ASSERT_EQ(SaveVNFFile(h), VNF_OK);
    const std::vector<std::string> building = Listing(dir);
    ASSERT_EQ(building.size(), 1u);
    EXPECT_TRUE(building.front().starts_with(".vnf-")) << building.front();
    const std::string temp = dir / building.front();
    EXPECT_TRUE(GetFileAttributesA(temp.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(VNFPublishFile(h), VNF_OK);
    CloseVNFFile(h);
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"987_A678.iaf"});
    EXPECT_FALSE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}
#endif

// What a crashed process left is swept once it is old; a fresh one (perhaps
// of a live process about to hold it), one that a live process holds, and
// every other file stay.
TEST_F(VnfFormat, OnlyStaleTemporariesOfDeadProcessesAreSwept) {
    for (const char* name : {".vnf-dead01.tmp", ".vnf-fresh1.tmp", ".vnf-held01.tmp", "987_A678.iaf", ".other.tmp"}) {
        WriteFile(dir / name, "x");
        if (name != std::string_view(".vnf-fresh1.tmp"))
            std::filesystem::last_write_time(dir / name, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    }
#ifdef _WIN32
    HANDLE held = CreateFileA((dir / ".vnf-held01.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(VNFRemoveStaleTemporaries(dir.path().string().c_str()), 1);
    CloseHandle(held);
#else
    const int held = open((dir / ".vnf-held01.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    EXPECT_EQ(InChild([&] { return VNFRemoveStaleTemporaries(dir.path().c_str()); }), 1);  // another process
    close(held);
#endif
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{".other.tmp", ".vnf-fresh1.tmp", ".vnf-held01.tmp", "987_A678.iaf"}));
    EXPECT_EQ(VNFRemoveStaleTemporaries(nullptr), 0);  // no folder is no harm
    EXPECT_EQ(VNFRemoveStaleTemporaries(""), 0);
#ifndef _WIN32
    // A sweep at every start for months keeps no descriptor.
    const auto open = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open();
    for (int i = 0; i < 50; ++i) VNFRemoveStaleTemporaries(dir.path().c_str());
    EXPECT_EQ(open(), before);
    // A FIFO under a temporary's name is opened without blocking, and left.
    ASSERT_EQ(mkfifo((dir / ".vnf-fifo01.tmp").c_str(), 0600), 0);
    EXPECT_EQ(InChild([&] {
                  alarm(10);
                  return VNFRemoveStaleTemporaries(dir.path().c_str());
              }),
              0);
    EXPECT_TRUE(std::filesystem::is_fifo(dir / ".vnf-fifo01.tmp"));
#endif
}

}  // namespace
}  // namespace pvd

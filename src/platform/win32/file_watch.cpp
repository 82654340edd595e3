// Change notifications on Windows: ReadDirectoryChangesW on the folder that
// holds the order file, read as overlapped I/O whose event the window's
// message loop waits on. Windows tells no "closed after writing"; a change
// counts as complete when the file can be opened without sharing it for
// writing, i.e. when no writer holds it any more.
#include "platform/file_watch.h"

#include <windows.h>

#include <cwctype>

#include "platform/win32/text_encoding.h"
#include "platform/file_system.h"

namespace pvd {

struct FileWatch::Directory {
    win32::Handle folder;
    win32::Handle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped{};
    alignas(DWORD) char buffer[64 * 1024];
    bool reading = false;

    ~Directory() {
        // The system writes into buffer until the read is cancelled.
        if (reading && folder.valid()) {
            CancelIoEx(folder.get(), &overlapped);
            DWORD n = 0;
            GetOverlappedResult(folder.get(), &overlapped, &n, TRUE);
        }
    }
    bool Read() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        ResetEvent(event.get());
        reading = ReadDirectoryChangesW(folder.get(), buffer, sizeof buffer, FALSE,
                                        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE,
                                        nullptr, &overlapped, nullptr);
        return reading;
    }
};

namespace {

bool SameName(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

}  // namespace

FileWatch::FileWatch() = default;
FileWatch::~FileWatch() = default;

void FileWatch::Drop() {
    dir_.reset();
    targets_.clear();
}

bool FileWatch::Watch(const std::string& file) {
    std::string folder, name;
    SplitPath(file, folder, name);
    if (dir_ && file == file_ && dir_->reading) return true;
    Drop();
    file_ = file;
    auto dir = std::make_unique<Directory>();
    dir->folder = win32::Handle(CreateFileW(win32::Wide(folder).c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!dir->folder.valid() || !dir->event.valid() || !dir->Read()) return false;
    targets_.push_back(Target{0, folder, name});
    dir_ = std::move(dir);
    return true;
}

void* FileWatch::event() const { return dir_ ? dir_->event.get() : nullptr; }

std::vector<FileChange> FileWatch::ReadChanges() {
    std::vector<FileChange> changes;
    if (!dir_ || !dir_->reading) return changes;
    DWORD bytes = 0;
    if (!GetOverlappedResult(dir_->folder.get(), &dir_->overlapped, &bytes, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) return changes;
        // The folder went away: the next Watch takes it up again.
        dir_->reading = false;
        Drop();
        return {FileChange::Modified};
    }
    dir_->reading = false;
    const std::wstring name = win32::Wide(targets_.front().name);
    bool touched = bytes == 0;  // too many changes for the buffer: one of them may be ours
    bool movedIn = false;
    for (DWORD offset = 0; bytes != 0;) {
        const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(dir_->buffer + offset);
        if (SameName(std::wstring_view(info->FileName, info->FileNameLength / sizeof(WCHAR)), name)) {
            touched = true;
            if (info->Action == FILE_ACTION_RENAMED_NEW_NAME) movedIn = true;
            else if (info->Action == FILE_ACTION_REMOVED || info->Action == FILE_ACTION_RENAMED_OLD_NAME) movedIn = false;
        }
        if (info->NextEntryOffset == 0) break;
        offset += info->NextEntryOffset;
    }
    if (!dir_->Read()) Drop();
    if (!touched) return changes;
    // A version moved into place is whole; a written one only once its
    // writer has let go of it.
    const bool complete = movedIn || FileWriterState(file_) == WriterState::None;
    changes.push_back(complete ? FileChange::Complete : FileChange::Modified);
    return changes;
}

WriterState FileWriterState(const std::string& path) {
    // Opening for reading without sharing writes fails while anyone holds the
    // file open for writing. The handle is closed at once, so a writer that
    // opens it just then is kept out for a moment only.
    win32::Handle h(CreateFileW(win32::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.valid()) return WriterState::None;
    const DWORD e = GetLastError();
    if (e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION) return WriterState::Writing;
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return WriterState::None;
    return WriterState::Unknown;
}

}  // namespace pvd

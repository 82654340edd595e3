// Change notifications on Windows: ReadDirectoryChangesW on the folder that
// holds the order file, read as overlapped I/O whose event the window's
// message loop waits on. Windows tells no "closed after writing"; a change
// counts as complete when the file can be opened without sharing it for
// writing, i.e. when no writer holds it any more.
//
// A folder deleted while a handle to it is open stays until the handle is
// closed (delete pending), and its name cannot be made anew meanwhile: the
// watch lets go of a folder that is being deleted, and takes it up again
// once it is back.
#include "platform/file_watch.h"

#include <windows.h>

#include <cwctype>
#include <utility>

#include "platform/win32/text_encoding.h"
#include "platform/file_system.h"

namespace pvd {

struct FileWatch::Directory {
    win32::Handle folder;
    win32::Handle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped{};
    alignas(DWORD) char buffer[64 * 1024];
    bool reading = false;
    // The watched file was there when the watch was taken up again: a change
    // made while no read was pending would have gone unseen.
    bool missed = false;

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

// Whether the folder that the handle holds is being deleted, or no longer
// has its name. Windows tells a pending deletion, refuses to look up such a
// folder, and ends a pending read with an error (ReadChanges). A folder
// renamed away and another one put in its place differ in their creation
// times (the file ids would tell too, but under Wine reading them costs
// milliseconds, and this runs at every notification).
bool NoLongerThere(HANDLE held, const std::wstring& folder) {
    FILE_STANDARD_INFO standard{};
    if (GetFileInformationByHandleEx(held, FileStandardInfo, &standard, sizeof standard) && standard.DeletePending) return true;
    WIN32_FILE_ATTRIBUTE_DATA named{};
    if (!GetFileAttributesExW(folder.c_str(), GetFileExInfoStandard, &named)) return true;
    FILE_BASIC_INFO basic{};
    return GetFileInformationByHandleEx(held, FileBasicInfo, &basic, sizeof basic) &&
           win32::FileTimeToUnixNs(basic.CreationTime.QuadPart) != win32::FileTimeToUnixNs(named.ftCreationTime);
}

bool Missing(const std::wstring& file) {
    if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
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
    const std::wstring wideFolder = win32::Wide(folder), wideFile = win32::Wide(file);
    bool letGo = false;
    if (dir_ && file == file_ && dir_->reading) {
        // Wine tells none of what NoLongerThere asks: its folder stays
        // pending deletion, openable and unreported until the last handle
        // goes. A folder can only be deleted once empty, so while the
        // watched file is missing the handle is let go of at each call (at
        // least each tick): a folder deleted meanwhile goes with it.
        if (!NoLongerThere(dir_->folder.get(), wideFolder) && !Missing(wideFile)) return true;
        letGo = true;
    }
    Drop();
    file_ = file;
    auto dir = std::make_unique<Directory>();
    // Sharing deletion, so that whoever deletes the folder is not refused.
    dir->folder = win32::Handle(CreateFileW(wideFolder.c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!dir->folder.valid() || !dir->event.valid() || !dir->Read()) return false;
    targets_.push_back(Target{0, folder, name});
    dir_ = std::move(dir);
    // Checked again on the new handle: where a file system tells no stable
    // creation time, a report here would come back at every call.
    if (letGo && !Missing(wideFile) && !NoLongerThere(dir_->folder.get(), wideFolder)) {
        dir_->missed = true;
        SetEvent(dir_->event.get());
    }
    return true;
}

void* FileWatch::event() const { return dir_ ? dir_->event.get() : nullptr; }

std::vector<FileChange> FileWatch::ReadChanges() {
    std::vector<FileChange> changes;
    if (!dir_ || !dir_->reading) return changes;
    // Signalled by Watch rather than by the read: reset before the read is
    // looked at, so that a read completing now still leaves it signalled.
    bool touched = std::exchange(dir_->missed, false);
    if (touched) ResetEvent(dir_->event.get());
    bool movedIn = false;
    DWORD bytes = 0;
    if (GetOverlappedResult(dir_->folder.get(), &dir_->overlapped, &bytes, FALSE)) {
        dir_->reading = false;
        const std::wstring name = win32::Wide(targets_.front().name);
        touched = touched || bytes == 0;  // too many changes for the buffer: one of them may be ours
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
        if (!dir_->Read()) Drop();  // a folder being deleted takes no new read
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
        // The folder is being deleted (Windows ends the read with an error):
        // let go of it now, and the next Watch takes it up again.
        dir_->reading = false;
        Drop();
        return {FileChange::Rescan};
    }
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

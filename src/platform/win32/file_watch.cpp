// Change notifications on Windows: NOT YET BUILT. Without notifications
// (descriptor -1) the program finds every new version of the order file by
// its one-second poll, and, not knowing whether a writer still has the file
// open (WriterState::Unknown), loads a version once it has stayed unchanged
// for the quiet period. The notifications (ReadDirectoryChangesW) come with
// the Windows window and tray.
#include "platform/file_watch.h"

namespace pvd {

FileWatch::FileWatch() = default;
FileWatch::~FileWatch() = default;

void FileWatch::Drop() { targets_.clear(); }

bool FileWatch::Watch(const std::string& file) {
    file_ = file;
    return false;
}

std::vector<FileChange> FileWatch::ReadChanges() { return {}; }

WriterState FileWriterState(const std::string&) { return WriterState::Unknown; }

}  // namespace pvd

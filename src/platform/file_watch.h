// Notifications of changes to one file, and whether a writer still has it open.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pvd {

enum class FileChange {
    Complete,    // a writer closed it after writing, or a file was moved into place
    Modified,    // written, created or removed, but not (yet) closed by its writer
    Attributes,  // only its times or permissions changed
    Rescan,      // changes may have been missed (the folder went away, events were lost): look again
};

// Watches the folder that holds a file (and, when the path is a link, the
// folder of the file it names) and reports the changes of that one file.
class FileWatch {
public:
    FileWatch();
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Starts or moves the watch; cheap when nothing changed, and it takes a
    // watch up again after its folder was removed and made anew. False while
    // the folder cannot be watched.
    bool Watch(const std::string& file);
    // Readable whenever changes wait to be read; -1 without notifications.
    int descriptor() const { return fd_; }
#ifdef _WIN32
    // Signalled whenever changes wait to be read; null while nothing is watched.
    void* event() const;
#endif
    // The waiting changes of the watched file, in order.
    std::vector<FileChange> ReadChanges();

private:
    struct Target {
        int wd = -1;
        std::string folder, name;
    };
    void Drop();
    int fd_ = -1;
#ifdef _WIN32
    struct Directory;  // the folder's handle and its pending read
    std::unique_ptr<Directory> dir_;
#endif
    std::string file_;
    std::vector<Target> targets_;
};

enum class WriterState { None, Writing, Unknown };

// Whether any process has the file open for writing (so that a version seen
// while its writer pauses is not taken for finished); Unknown where the file
// system or the file's owner does not let us tell.
WriterState FileWriterState(const std::string& path);

}  // namespace pvd

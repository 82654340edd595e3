// The launch journal: what was loaded, which dictation file was opened for
// which order, and whether the recorder started, kept across restarts so a
// site can answer days later. One JSON object per line, appended; the
// activity log stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "intake/order.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/log_sink.h"
#include "platform/sha256.h"

namespace pvd {

// ${XDG_STATE_HOME:-$HOME/.local/state}/Vantora/VNRecorder/journal.jsonl,
// "" when neither is set (a relative XDG_STATE_HOME is ignored).
std::string JournalFileName();

inline constexpr std::uint64_t kJournalMaxBytes = 10u * 1024u * 1024u;
inline constexpr int kJournalGenerations = 5;  // journal.1.jsonl .. journal.5.jsonl
inline constexpr std::size_t kJournalDefaultCount = 20;

// One load of the order file.
struct JournalLoad {
    std::string path;
    FileIdentity identity;  // of the version read; not written when !identity.exists
    std::string sha256;     // of the bytes loaded (Sha256Hex); "" when nothing was read
    bool ok = false;
    std::string loader;  // "legacy" | "generic", when ok
    OrderFields order;   // the five values after the load, when ok
    std::string reason;  // why it failed
};

// One launch of the dictation for an order.
struct JournalLaunch {
    OrderFields order;
    std::string dictationPath;
    std::string outcome;   // "created" | "reused" | "refused" | "failed"
    std::string reason;    // for refused and failed
    std::string recorder;  // the configured recorder, "" when none
    bool recorderStarted = false;
    long recorderPid = 0;
    std::string recorderReason;  // why it did not start
};

class Journal {
public:
    // `log`: the activity log, told once when the journal cannot be written.
    // `maxBytes`: a generation never grows past it (tests pass a small one).
    explicit Journal(LogSink& log, const Clock& clock = SystemClock(), std::string file = JournalFileName(),
                     std::uint64_t maxBytes = kJournalMaxBytes);
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // None of these throws or stops the caller: a failure goes to the log.
    void Start();  // "start": version, user, host
    void Exit();   // "exit": version, user, host
    void Load(const JournalLoad& load);
    void Launch(const JournalLaunch& launch);

    const std::string& file() const { return file_; }

private:
    void Write(const char* event, const nlohmann::ordered_json& facts) noexcept;
    bool Append(const std::string& line, std::string& error);

    LogSink& log_;
    const Clock& clock_;
    std::string file_;
    std::uint64_t maxBytes_;
    std::mutex mutex_;
    long seq_ = 0;
    bool reported_ = false;
};

// --journal: the last n events of `file` and its older generations, oldest
// first, as aligned text or as JSON lines. Lines that are not events (edited
// by hand, torn) are skipped. No journal prints nothing. Returns the exit
// status: 0, or 1 when a generation could not be read.
int PrintJournal(std::ostream& out, std::ostream& err, std::size_t n, bool json, const std::string& file = JournalFileName());

}  // namespace pvd

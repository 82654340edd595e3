#include "app/journal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ostream>
#include <vector>

#include "platform/environment.h"
#include "platform/private_file.h"
#include "version.h"
#include "platform/file_system.h"

namespace pvd {
namespace {

using Json = nlohmann::ordered_json;

// A generation is never written past 10 MiB; a hand-made one may be larger,
// but not without bound.
constexpr std::size_t kReadLimit = 64u * 1024u * 1024u;

// journal.jsonl -> journal.<n>.jsonl; generation 0 is the file itself.
std::string GenerationName(const std::string& name, int generation) {
    if (generation == 0) return name;
    const auto dot = name.find_last_of('.');
    const std::string n = "." + std::to_string(generation);
    return dot == std::string::npos || dot == 0 ? name + n : name.substr(0, dot) + n + name.substr(dot);
}

// Local ISO 8601 time with `digits` decimals of the second and the offset:
// 2026-12-08T09:05:03.123+01:00.
std::string IsoLocalTime(std::int64_t nanoseconds, int digits) {
    std::int64_t seconds = nanoseconds / 1'000'000'000;
    std::int64_t fraction = nanoseconds % 1'000'000'000;
    if (fraction < 0) fraction += 1'000'000'000, --seconds;
    const TimePoint t = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(seconds));
    char decimals[16];
    std::snprintf(decimals, sizeof decimals, "%09" PRId64, fraction);
    std::string offset = FormatLocalTime(t, "%z");
    if (offset.size() == 5) offset.insert(3, ":");
    return FormatLocalTime(t, "%Y-%m-%dT%H:%M:%S") + "." + std::string(decimals, static_cast<std::size_t>(digits)) + offset;
}

std::string Stamp(TimePoint t) {
    return IsoLocalTime(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count(), 3);
}

Json OrderJson(const OrderFields& f) {
    return Json{{"mrn", f.txtMRN}, {"accession", f.txtAccession}, {"study", f.txtStudy}, {"patient", f.txtPatient}, {"user_id", f.txtUserID}};
}

Json WhoJson() { return Json{{"version", PVD_VERSION_STRING}, {"user", UserName()}, {"host", HostName()}}; }

// Rotates under the lock: journal.4 -> journal.5 (the oldest dropped), ...,
// journal -> journal.1.
bool Rotate(const PrivateFolder& folder, const std::string& name, std::string& error) {
    for (int g = kJournalGenerations - 1; g >= 0; --g)
        if (folder.Rename(GenerationName(name, g), GenerationName(name, g + 1), error) == PrivateResult::Refused) return false;
    return true;
}

// --- reading ---

// A value as text, with control characters (C0, DEL and C1) made harmless:
// a hostile order value must not drive the terminal.
std::string Text(const Json& object, const char* key) {
    if (!object.is_object()) return {};
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return {};
    std::string raw = it->is_string() ? it->get<std::string>() : it->dump();
    std::string clean;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c == 0xC2 && i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(raw[i + 1]) <= 0x9F) {
            clean += '?';
            ++i;
        } else {
            clean += (c < 0x20 || c == 0x7F) ? '?' : raw[i];
        }
    }
    return clean;
}

bool Flag(const Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

const Json& Member(const Json& object, const char* key) {
    static const Json kNull;
    auto it = object.find(key);
    return it == object.end() ? kNull : *it;
}

struct Row {
    std::string time, pid, seq, event, status, facts;
};

Row TextRow(const Json& e) {
    const std::string seq = Text(e, "seq");
    Row r{Text(e, "time"), Text(e, "pid"), seq.empty() ? seq : "#" + seq, Text(e, "event"), "", ""};
    auto add = [&r](const std::string& part) {
        if (part.empty()) return;
        if (!r.facts.empty()) r.facts += "  ";
        r.facts += part;
    };
    auto labelled = [](const char* label, const std::string& value) { return value.empty() ? value : label + value; };
    if (r.event == "start" || r.event == "exit") {
        add(labelled("version ", Text(e, "version")));
        add(labelled("user ", Text(e, "user")));
        add(labelled("host ", Text(e, "host")));
    } else if (r.event == "load") {
        const bool ok = Flag(e, "result");
        r.status = ok ? Text(e, "loader") : "failed";
        add(Text(e, "path"));
        if (ok) {
            const Json& order = Member(e, "order");
            add(labelled("mrn ", Text(order, "mrn")));
            add(labelled("accession ", Text(order, "accession")));
        } else {
            add(labelled("reason: ", Text(e, "reason")));
        }
        add(labelled("sha256 ", Text(e, "sha256").substr(0, 12)));
    } else if (r.event == "launch") {
        r.status = Text(e, "outcome");
        add(Text(e, "dictation"));
        add(labelled("reason: ", Text(e, "reason")));
        const Json& recorder = Member(e, "recorder");
        if (!recorder.is_object()) {
            add("no recorder");
        } else if (Flag(recorder, "started")) {
            add("recorder " + Text(recorder, "path") + labelled(" (pid ", Text(recorder, "pid")) +
                (Text(recorder, "pid").empty() ? "" : ")"));
        } else {
            add("recorder " + Text(recorder, "path") + " not started" + labelled(": ", Text(recorder, "reason")));
        }
    }
    return r;
}

void PrintText(std::ostream& out, const std::vector<Json>& events) {
    std::vector<Row> rows;
    std::size_t wTime = 0, wPid = 0, wSeq = 0, wEvent = 0, wStatus = 0;
    for (const Json& e : events) {
        rows.push_back(TextRow(e));
        const Row& r = rows.back();
        wTime = std::max(wTime, r.time.size()), wPid = std::max(wPid, r.pid.size()), wSeq = std::max(wSeq, r.seq.size());
        wEvent = std::max(wEvent, r.event.size()), wStatus = std::max(wStatus, r.status.size());
    }
    auto pad = [](const std::string& s, std::size_t w, bool right) {
        const std::string fill(w > s.size() ? w - s.size() : 0, ' ');
        return right ? fill + s : s + fill;
    };
    for (const Row& r : rows) {
        std::string line = pad(r.time, wTime, false) + "  " + pad(r.pid, wPid, true) + "  " + pad(r.seq, wSeq, true) +
                           "  " + pad(r.event, wEvent, false);
        if (wStatus > 0) line += "  " + pad(r.status, wStatus, false);
        if (!r.facts.empty()) line += "  " + r.facts;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << "\n";
    }
}

// The events of one generation, newest first, added to `newestFirst` until it holds n.
void CollectNewestFirst(const std::string& bytes, std::size_t n, std::vector<Json>& newestFirst) {
    std::size_t end = bytes.size();
    while (newestFirst.size() < n && end > 0) {
        const auto nl = bytes.rfind('\n', end - 1);
        const std::size_t begin = nl == std::string::npos ? 0 : nl + 1;
        if (begin < end) {
            Json e = Json::parse(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
            if (e.is_object() && e.contains("event") && e["event"].is_string()) newestFirst.push_back(std::move(e));
        }
        if (nl == std::string::npos) break;
        end = nl;
    }
}

int PrintEvents(std::ostream& out, std::ostream& err, std::size_t n, bool json, const std::string& file) {
    if (file.empty() || n == 0) return 0;
    std::string folderPath, name, error;
    SplitPath(file, folderPath, name);
    PrivateFolder folder;
    const PrivateResult opened = folder.Open(folderPath, false, error);
    if (opened == PrivateResult::Missing) return 0;
    if (opened != PrivateResult::Done) {
        err << "pacs-vantora-driver: unable to read the journal " << file << ": " << error << "\n";
        return 1;
    }
    int status = 0;
    std::vector<Json> events;  // newest first
    for (int g = 0; g <= kJournalGenerations && events.size() < n; ++g) {
        std::string bytes;
        const PrivateResult read = folder.ReadFile(GenerationName(name, g), kReadLimit, bytes, error);
        if (read == PrivateResult::Refused) {
            err << "pacs-vantora-driver: unable to read the journal " << folderPath << kPathSeparator << GenerationName(name, g)
                << ": " << error << "\n";
            status = 1;
        }
        if (read == PrivateResult::Done) CollectNewestFirst(bytes, n, events);
    }
    std::reverse(events.begin(), events.end());
    if (json) {
        for (const Json& e : events) out << e.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    } else {
        PrintText(out, events);
    }
    return status;
}

}  // namespace

std::string JournalFileName() {
    const std::string state = UserStateFolder();
    if (state.empty()) return {};
    return state + kPathSeparator + "Vantora" + kPathSeparator + "VNRecorder" + kPathSeparator + "journal.jsonl";
}

Journal::Journal(LogSink& log, const Clock& clock, std::string file, std::uint64_t maxBytes)
    : log_(log), clock_(clock), file_(std::move(file)), maxBytes_(maxBytes) {}

void Journal::Start() {
    try {
        Write("start", WhoJson());
    } catch (...) {
    }
}

void Journal::Exit() {
    try {
        Write("exit", WhoJson());
    } catch (...) {
    }
}

void Journal::Load(const JournalLoad& load) {
    try {
        Json facts{{"path", load.path}};
        if (load.identity.exists)
            facts["file"] = Json{{"size", load.identity.size},
                                 {"mtime", IsoLocalTime(load.identity.mtimeNs, 9)},
                                 {"device", load.identity.device},
                                 {"file_id", load.identity.fileId}};
        if (!load.sha256.empty()) facts["sha256"] = load.sha256;
        facts["result"] = load.ok;
        if (load.ok) {
            facts["loader"] = load.loader;
            facts["order"] = OrderJson(load.order);
        } else {
            facts["reason"] = load.reason;
        }
        Write("load", facts);
    } catch (...) {
    }
}

void Journal::Launch(const JournalLaunch& launch) {
    try {
        Json facts{{"order", OrderJson(launch.order)}, {"dictation", launch.dictationPath}, {"outcome", launch.outcome}};
        if (!launch.reason.empty()) facts["reason"] = launch.reason;
        if (launch.recorder.empty()) {
            facts["recorder"] = nullptr;
        } else {
            Json recorder{{"path", launch.recorder}, {"started", launch.recorderStarted}};
            if (launch.recorderStarted) recorder["pid"] = launch.recorderPid;
            if (!launch.recorderReason.empty()) recorder["reason"] = launch.recorderReason;
            facts["recorder"] = std::move(recorder);
        }
        Write("launch", facts);
    } catch (...) {
    }
}

void Journal::Write(const char* event, const Json& facts) noexcept {
    try {
        std::lock_guard lock(mutex_);
        // The number is taken even when the write fails: a gap shows a lost event.
        const long seq = ++seq_;
        std::string error;
        try {
            Json e{{"event", event}, {"time", Stamp(clock_.now())}, {"seq", seq}, {"pid", ProcessId()}};
            for (const auto& [key, value] : facts.items()) e[key] = value;
            // Invalid UTF-8 (a path is only bytes) is replaced rather than lost with the whole event.
            const std::string line = e.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
            if (Append(line, error)) return;
        } catch (const std::exception& ex) {
            error = ex.what();
        }
        if (reported_) return;
        reported_ = true;
        log_.WriteLog("Unable to write the journal " + (file_.empty() ? std::string("(none)") : file_) + ": " + error);
    } catch (...) {
    }
}

bool Journal::Append(const std::string& line, std::string& error) {
    if (file_.empty()) {
        UserStateFolder(&error);
        if (error.empty()) error = "no folder for the program's state";
        return false;
    }
    std::string folderPath, name;
    SplitPath(file_, folderPath, name);
    // Opened afresh for every event: a journal or folder that was removed or
    // replaced meanwhile is made again, and checked again.
    PrivateFolder folder;
    if (folder.Open(folderPath, true, error) != PrivateResult::Done) return false;
    std::string rotateError;
    for (int attempt = 0;; ++attempt) {
        PrivateAppendFile file;
        if (!file.Open(folder, name, error)) return false;
        const std::uint64_t size = file.Size();
        if (rotateError.empty() && attempt < 4 && size > 0 && size + line.size() > maxBytes_) {
            // Another process that rotated first has moved the name on: start again with the new file.
            const bool locked = file.Lock();
            if (!locked || file.IsNamed(folder, name)) Rotate(folder, name, rotateError);
            continue;
        }
        // A torn last line (a writer that died, a full disk) must not swallow this event too.
        const std::string bytes = size > 0 && !file.EndsWithNewline() ? "\n" + line : line;
        if (!file.Append(bytes, error)) return false;
        if (!rotateError.empty()) return error = rotateError, false;
        return true;
    }
}

int PrintJournal(std::ostream& out, std::ostream& err, std::size_t n, bool json, const std::string& file) {
    try {
        return PrintEvents(out, err, n, json, file);
    } catch (const std::exception& ex) {
        err << "pacs-vantora-driver: unable to read the journal " << file << ": " << ex.what() << "\n";
        return 1;
    }
}

}  // namespace pvd

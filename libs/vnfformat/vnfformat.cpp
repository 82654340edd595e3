// The dictation file format. Layout (all integers little-endian):
//   "RIFF" u32 size "WAVE"
//   "fmt " u32 16   u16 tag, u16 channels, u32 rate, u32 byte rate, u16 block align, u16 bits
//   "vnff" u32 size "VNF1" i16 format code as passed, u16 0, u32 count,
//                   count x (u32 name length, name, u32 value length, value), pad to even
//   "data" u32 0
// Wave-format code 0 is described in "fmt " as 16-bit PCM.
#include "vnfformat.h"

#include "file_ops.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t kMaxFileBytes = 0xFFFFFFF0u;  // RIFF sizes are 32-bit
constexpr std::uint32_t kMaxFieldsChunk = 256u * 1024u * 1024u;

struct Field {
    std::string name, value;
};

struct Entry {
    bool writable = false;
    bool staged = false;      // published only by VNFPublishFile
    bool published = false;
    bool incomplete = false;  // a field could not be stored: no save may publish a shortened file
    std::string path;
    vnf::NativeFile fd = vnf::kNoFile;  // the unpublished file: unnamed, or a locked hidden temporary
    std::string tempPath;     // the hidden temporary's name; "" for an unnamed file
    bool saved = false;       // the unpublished file holds a save
    std::string lastBytes;    // what the last save wrote
    std::int32_t rate = 0;
    std::int16_t channels = 0;
    std::int16_t format = 0;
    std::vector<Field> fields;
    std::uint64_t fieldBytes = 0;
};

// The process's last failure, not the thread's: thread-local data in a
// library that is loaded at run time defeats leak checkers' scans.
std::mutex g_failureMutex;
std::string g_lastFailure;

std::mutex g_mutex;
std::map<std::int32_t, Entry> g_files;
std::int32_t g_lastHandle = 0;

std::int32_t NewHandle() {
    do {
        g_lastHandle = g_lastHandle == INT32_MAX ? 1 : g_lastHandle + 1;
    } while (g_files.contains(g_lastHandle));
    return g_lastHandle;
}

Entry* Find(std::int32_t handle, bool needWritable) {
    auto it = g_files.find(handle);
    if (it == g_files.end() || (needWritable && !it->second.writable)) return nullptr;
    return &it->second;
}

void Put16(std::string& b, std::uint16_t v) {
    b += static_cast<char>(v & 0xFF);
    b += static_cast<char>(v >> 8);
}
void Put32(std::string& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16) |
           (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string Serialize(const Entry& e) {
    const bool pcm = e.format == 0;
    const std::uint16_t channels = static_cast<std::uint16_t>(e.channels);
    const std::uint16_t bits = pcm ? 16 : 0;
    const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    std::string fmt;
    Put16(fmt, pcm ? 1 : static_cast<std::uint16_t>(e.format));
    Put16(fmt, channels);
    Put32(fmt, static_cast<std::uint32_t>(e.rate));
    Put32(fmt, static_cast<std::uint32_t>(e.rate) * align);
    Put16(fmt, align);
    Put16(fmt, bits);

    std::string vnff = "VNF1";
    Put16(vnff, static_cast<std::uint16_t>(e.format));
    Put16(vnff, 0);
    Put32(vnff, static_cast<std::uint32_t>(e.fields.size()));
    for (const Field& f : e.fields) {
        Put32(vnff, static_cast<std::uint32_t>(f.name.size()));
        vnff += f.name;
        Put32(vnff, static_cast<std::uint32_t>(f.value.size()));
        vnff += f.value;
    }
    std::string body = "WAVE";
    body += "fmt ";
    Put32(body, static_cast<std::uint32_t>(fmt.size()));
    body += fmt;
    body += "vnff";
    Put32(body, static_cast<std::uint32_t>(vnff.size()));
    body += vnff;
    if (vnff.size() % 2) body += '\0';
    body += "data";
    Put32(body, 0);
    std::string file = "RIFF";
    Put32(file, static_cast<std::uint32_t>(body.size()));
    return file + body;
}

// A failure that is the caller's, not the system's.
int Refuse(const char* why, int status) {
    vnf::SetLastFailure(why);
    return status;
}

constexpr const char* kTooLarge = "save the file: a field is too large to store";

// Puts the unpublished file under its name, complete and durable, never
// replacing anything that is there.
int Publish(Entry& e) {
    if (!e.saved || e.fd == vnf::kNoFile) return Refuse("publish the file under its name: it was never saved", VNF_E_IO);
    if (e.incomplete) return Refuse(kTooLarge, VNF_E_ARGUMENT);
    const int status = vnf::PublishNoReplace(e.fd, e.tempPath, e.path, e.lastBytes);
    if (status == VNF_OK) e.published = true;
    return status;
}

int Save(Entry& e) {
    if (e.incomplete || e.fieldBytes > kMaxFieldsChunk) return Refuse(kTooLarge, VNF_E_ARGUMENT);
    std::string bytes = Serialize(e);
    if (bytes.size() > kMaxFileBytes) return Refuse(kTooLarge, VNF_E_ARGUMENT);
    if (e.published) return vnf::ReplaceAtomically(e.path, bytes);
    if (!vnf::WriteFrom0(e.fd, bytes)) return VNF_E_IO;
    e.saved = true;
    e.lastBytes = std::move(bytes);
    // A plain handle is published by its first save; a staged one waits for
    // VNFPublishFile, so that it appears only complete.
    return e.staged ? VNF_OK : Publish(e);
}

void Release(Entry& e) {
    // An unnamed file vanishes with its last descriptor; a temporary is removed.
    if (!e.published) vnf::Discard(e.fd, e.tempPath);
    else if (e.fd != vnf::kNoFile) vnf::Close(e.fd);
    e.fd = vnf::kNoFile;
}

// Reads a dictation file into e; false when it is not one. Only a regular
// file is read, and it is opened without blocking (a FIFO never hangs us).
bool Parse(const std::string& path, Entry& e) {
    std::uint64_t fileSize = 0;
    const vnf::NativeFile fd = vnf::OpenForReading(path, fileSize);
    if (fd == vnf::kNoFile) return false;
    struct Closer {
        vnf::NativeFile fd;
        ~Closer() { vnf::Close(fd); }
    } closer{fd};
    unsigned char head[12];
    if (!vnf::ReadAt(fd, 0, head, 12) || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
    std::uint64_t pos = 12;
    bool haveFmt = false;
    while (pos + 8 <= fileSize) {
        unsigned char ch[8];
        if (!vnf::ReadAt(fd, pos, ch, 8)) return false;
        const std::uint32_t size = Get32(ch + 4);
        if (pos + 8 + size > fileSize) return false;  // a chunk runs past the end: damaged
        if (std::memcmp(ch, "fmt ", 4) == 0) {
            if (size < 16) return false;
            unsigned char f[16];
            if (!vnf::ReadAt(fd, pos + 8, f, 16)) return false;
            const std::uint16_t tag = Get16(f);
            e.channels = static_cast<std::int16_t>(Get16(f + 2));
            e.rate = static_cast<std::int32_t>(Get32(f + 4));
            e.format = tag == 1 ? 0 : static_cast<std::int16_t>(tag);
            haveFmt = true;
        } else if (std::memcmp(ch, "vnff", 4) == 0) {
            if (size < 12 || size > kMaxFieldsChunk) return false;
            std::string data(size, '\0');
            if (!vnf::ReadAt(fd, pos + 8, data.data(), size)) return false;
            const auto* p = reinterpret_cast<const unsigned char*>(data.data());
            if (std::memcmp(p, "VNF1", 4) != 0) return false;
            e.format = static_cast<std::int16_t>(Get16(p + 4));
            const std::uint32_t count = Get32(p + 8);
            std::size_t off = 12;
            e.fields.clear();
            for (std::uint32_t i = 0; i < count; ++i) {
                Field f;
                for (std::string* target : {&f.name, &f.value}) {
                    if (off + 4 > data.size()) return false;
                    const std::uint32_t len = Get32(p + off);
                    off += 4;
                    if (len > data.size() - off) return false;
                    target->assign(data, off, len);
                    off += len;
                }
                e.fields.push_back(std::move(f));
            }
        }
        pos += 8 + size + (size % 2);
    }
    return haveFmt;
}

std::int32_t Create(const char* path, bool staged) {
    if (!path || !*path) return Refuse("create the file: no path given", 0);
    const std::string p = path;
    if (!vnf::PathIsFree(p)) return 0;  // never replace what is there
    vnf::NativeFile fd = vnf::kNoFile;
    std::string tempPath;
    if (!vnf::OpenUnpublished(p, fd, tempPath)) return 0;
    std::lock_guard lock(g_mutex);
    const std::int32_t h = NewHandle();
    Entry& e = g_files[h];
    e.writable = true;
    e.staged = staged;
    e.path = p;
    e.fd = fd;
    e.tempPath = std::move(tempPath);
    return h;
}

int32_t CopyOut(const std::string& text, char* buffer, int32_t size) {
    if (buffer && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(size - 1));
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return text.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(text.size());
}

}  // namespace

void vnf::SetLastFailure(std::string why) {
    std::lock_guard lock(g_failureMutex);
    g_lastFailure = std::move(why);
}

extern "C" {

int32_t CreateVNFFile(const char* path) { return Create(path, false); }

int32_t VNFCreateFileUnnamed(const char* path) { return Create(path, true); }

int16_t VNFPublishFile(int32_t handle) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, true);
    if (!e) return VNF_E_HANDLE;
    if (e->published) return VNF_OK;
    return static_cast<int16_t>(Publish(*e));
}

int32_t VNFGetLastFailure(char* buffer, int32_t size) {
    std::string why;
    {
        std::lock_guard lock(g_failureMutex);
        why = g_lastFailure;
    }
    return CopyOut(why, buffer, size);
}

int32_t VNFRemoveStaleTemporaries(const char* folder) { return vnf::RemoveStaleTemporaries(folder); }

int16_t VNF_SetRecordWaveParams(int32_t handle, int32_t sample_rate, int16_t channels, int16_t format) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, true);
    if (!e) return VNF_E_HANDLE;
    e->rate = sample_rate;
    e->channels = channels;
    e->format = format;
    return VNF_OK;
}

int16_t AddVNFField(int32_t handle, const char* name, const char* value) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, true);
    if (!e) return VNF_E_HANDLE;
    if (!name || !value) return VNF_E_ARGUMENT;
    Field f{name, value};
    const std::uint64_t bytes = 8 + f.name.size() + f.value.size();
    if (e->fieldBytes + bytes > kMaxFieldsChunk) {
        e->incomplete = true;  // a later save must not publish the file without it
        return VNF_E_ARGUMENT;
    }
    e->fieldBytes += bytes;
    e->fields.push_back(std::move(f));
    return VNF_OK;
}

int16_t SaveVNFFile(int32_t handle) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, true);
    if (!e) return VNF_E_HANDLE;
    const int status = Save(*e);
#ifdef VNF_TEST_KILL_AFTER_FIRST_SAVE
    // Only in a build for the tests: the process dies between the two saves.
    if (status == VNF_OK) vnf::KillProcess();
#endif
    return static_cast<int16_t>(status);
}

void CloseVNFFile(int32_t handle) {
    std::lock_guard lock(g_mutex);
    auto it = g_files.find(handle);
    if (it == g_files.end()) return;
    Release(it->second);  // never published: nothing is left
    g_files.erase(it);
}

int32_t VNFOpenFileRead(const char* path) {
    if (!path) return 0;
    Entry e;
    try {
        if (!Parse(path, e)) return 0;
    } catch (const std::exception&) {
        return 0;
    }
    std::lock_guard lock(g_mutex);
    const std::int32_t h = NewHandle();
    e.path = path;
    g_files[h] = std::move(e);
    return h;
}

int16_t VNFGetRecordWaveParams(int32_t handle, int32_t* sample_rate, int16_t* channels, int16_t* format) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, false);
    if (!e) return VNF_E_HANDLE;
    if (sample_rate) *sample_rate = e->rate;
    if (channels) *channels = e->channels;
    if (format) *format = e->format;
    return VNF_OK;
}

int32_t VNFGetFieldCount(int32_t handle) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, false);
    return e ? static_cast<int32_t>(e->fields.size()) : -1;
}

int32_t VNFGetFieldName(int32_t handle, int32_t index, char* buffer, int32_t size) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, false);
    if (!e || index < 0 || static_cast<std::size_t>(index) >= e->fields.size()) return -1;
    return CopyOut(e->fields[static_cast<std::size_t>(index)].name, buffer, size);
}

int32_t VNFGetFieldValue(int32_t handle, int32_t index, char* buffer, int32_t size) {
    std::lock_guard lock(g_mutex);
    Entry* e = Find(handle, false);
    if (!e || index < 0 || static_cast<std::size_t>(index) >= e->fields.size()) return -1;
    return CopyOut(e->fields[static_cast<std::size_t>(index)].value, buffer, size);
}

}  // extern "C"

#include "platform/file_io.h"

namespace pvd {

StoreRead ReadStoreFile(const std::string& path, std::size_t maxBytes) {
    StoreRead r;
    // A version rewritten in place while it was read is read again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool stable = true, missing = false;
        if (ReadWholeFile(path, maxBytes, r.bytes, &r.error, &r.identity, &stable, &missing)) {
            r.clean = stable;
            if (stable) return r;
            r.bytes.clear();
            r.error = "File " + path + " changed while it was read";
            continue;
        }
        r.clean = missing;  // no file yet: an empty store
        if (r.clean) r.error.clear();
        return r;
    }
    return r;
}

}  // namespace pvd

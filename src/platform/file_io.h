#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pvd {

// Reads a whole file of at most maxBytes. False, with the reason in `error`
// when one is asked for, when it is missing, unreadable or larger.
bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error = nullptr);

// Replaces the file's content atomically: a temporary file in the same
// folder, flushed to disk, then renamed over the target. Readers see the old
// or the new content, never a mixture; a failure leaves the old file.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace pvd

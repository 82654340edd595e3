#pragma once

#include <string>
#include <string_view>

namespace pvd {

// Replaces the file's content atomically: a temporary file in the same
// folder, flushed to disk, then renamed over the target. Readers see the old
// or the new content, never a mixture; a failure leaves the old file.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace pvd

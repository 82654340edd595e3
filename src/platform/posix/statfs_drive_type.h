// The drive type of a POSIX file system, from its statfs magic number.
#pragma once

#include <cstdint>

namespace pvd {

int DriveTypeOfFileSystem(std::int64_t magic);

}  // namespace pvd

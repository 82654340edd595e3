// Loading a library from the controller's own folder, one half per platform.
#pragma once

#include <string>

namespace fc {

// The characters that make a name a path on this platform.
extern const char* const kPathCharacters;

// Opens `file` from the folder the controller itself was loaded from, never
// through a search order, and keeps it only when it exports `symbol`;
// nullptr otherwise.
void* OpenOwnLibrary(const std::string& file, const char* symbol);
void CloseLibrary(void* library);

}  // namespace fc

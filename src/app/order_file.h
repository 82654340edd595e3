#pragma once

#include <string>

#include "settings/EnvironmentFunction.h"

namespace pvd {

// The watched order file: the policy XMLDataPath, the setting "XMLDataPath",
// else the drafts folder's ridavaruz.xml. Read afresh at every call.
std::string GetXMLFilename(PathSource* source = nullptr);

}  // namespace pvd

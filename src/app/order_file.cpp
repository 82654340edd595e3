#include "app/order_file.h"

#include "platform/environment.h"
#include "settings/policy.h"
#include "settings/systemRegKeys.h"

namespace pvd {

std::string GetXMLFilename(PathSource* source) {
    if (std::string p = GetPolicyPath(kPolicyOrderFile, source); !p.empty()) return p;
    const std::string fallback = GetDraftsFolder() + kPathSeparator + "ridavaruz.xml";
    if (source) {
        auto stored = ReadSetting(kDefaultsSection, "XMLDataPath");
        source->text = stored ? "setting [Defaults] XMLDataPath" : "built-in default (drafts folder)";
    }
    return GetDefaultSetting("XMLDataPath", fallback);
}

}  // namespace pvd

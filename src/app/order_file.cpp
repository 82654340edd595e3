#include "app/order_file.h"

#include "platform/environment.h"
#include "settings/systemRegKeys.h"

namespace pvd {

std::string GetXMLFilename(PathSource* source) {
    const std::string fallback = GetDraftsFolder() + kPathSeparator + "ridavaruz.xml";
    if (source) {
        auto stored = ReadSetting(kDefaultsSection, "XMLDataPath");
        source->text = stored ? "setting [Defaults] XMLDataPath" : "built-in default (drafts folder)";
    }
    return GetDefaultSetting("XMLDataPath", fallback);
}

}  // namespace pvd

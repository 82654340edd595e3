#include "app/Form1.h"

#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"

namespace pvd {

LaunchOutcome Form1::Launch() {
    const std::string& mrn = order_.fields.txtMRN;
    const std::string& accession = order_.fields.txtAccession;
    LaunchOutcome out;
    out.path = GetDraftsFolder() + kPathSeparator + mrn + "_" + accession + ".iaf";
    // Order values name a file inside the drafts folder, never a path elsewhere.
    if (mrn.find_first_of("/\\") != std::string::npos || accession.find_first_of("/\\") != std::string::npos) {
        out.result = LaunchResult::Refused;
    } else if (FileExistsQuiet(out.path)) {
        out.result = LaunchResult::Reused;
    } else {
        out.result = CreateNewFile(out.path) ? LaunchResult::Created : LaunchResult::Failed;
    }
    if (out.result == LaunchResult::Reused || out.result == LaunchResult::Created) {
        s_.startRecorder(out.path);
    } else {
        s_.messages.ShowMessage("Unable to create " + out.path);
    }
    return out;
}

bool Form1::MakeNewVnfFile(const std::string& path) { return pvd::MakeNewVnfFile(path, NewFile()); }

bool Form1::CreateNewFile(const std::string& path) { return pvd::CreateNewFile(path, order_, NewFile()); }

LoadOutcome Form1::LoadOrder(const std::string& path) {
    return LoadOrderFile(order_, path, IntakeContext{s_.xml, s_.log, s_.clock});
}

}  // namespace pvd

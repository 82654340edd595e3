#include "app/cli.h"

#include <nlohmann/json.hpp>

#include <ostream>

#include "app/activity_log.h"
#include "app/order_file.h"
#include "intake/loaders.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"
#include "version.h"

namespace pvd {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kUsage =
    "Usage: pacs-vantora-driver [OPTION]\n"
    "Links the PACS order file to the dictation recorder. Without an option it\n"
    "runs in the notification area and watches the order file.\n"
    "\n"
    "  --load FILE    read FILE as an order and print it as JSON; launches nothing\n"
    "  --paths        print every location the program uses and where it came from\n"
    "  --version      print the version\n"
    "  --help         print this help\n";

Json OrderJson(const OrderState& order, const LoadOutcome& outcome) {
    Json elements = Json::array();
    for (const auto& e : order.xml_elements) elements.push_back({{"field_name", e.field_name}, {"field_value", e.field_value}});
    const OrderFields& f = order.fields;
    return Json{
        {"result", outcome.ok},
        {"loader", outcome.loader == LoaderUsed::Legacy ? "legacy" : "generic"},
        {"order", {{"mrn", f.txtMRN}, {"accession", f.txtAccession}, {"study", f.txtStudy}, {"patient", f.txtPatient}, {"user_id", f.txtUserID}}},
        {"xml_elements", elements},
        {"xml_names", order.xml_names.names()},
    };
}

int PrintPaths(std::ostream& out) {
    SelectSettingsProfile();
    auto line = [&](const char* label, const std::string& value, const std::string& source) {
        out << label << ": " << value;
        if (!source.empty()) out << "  (" << source << ")";
        out << "\n";
    };
    PathSource src;
    std::string v = GetDictationRootFolder(&src);
    line("dictation root", v, src.text);
    v = GetDraftsFolder(&src);
    line("drafts folder", v, src.text);
    v = GetXMLFilename(&src);
    line("xml file", v, src.text);
    const std::string profileFile = GetProfilePathFilename();
    line("profile file", profileFile, "");
    line("profile section", GetCurrentProfile(), GetFileBaseName(profileFile).empty() ? "default section" : "profile file name");
    line("settings file", SettingsFileName(), "application name " + GetSettingsAppName());
    line("machine registry file", MachineRegistryFile(),
         GetRawEnv("VANTORA_MACHINE_REGISTRY").empty() ? "built-in default" : "environment VANTORA_MACHINE_REGISTRY");
    line("user registry file", UserRegistryFile(), "");
    const std::string temp = GetEnv("TEMP") + kPathSeparator + "Vantora" + kPathSeparator + GetProductKeyName();
    line("temporary folder", temp, GetRawEnv("TEMP").empty() ? "environment TMPDIR or built-in /tmp (for TEMP)" : "environment TEMP");
    line("log file", LogFileName(), "");
    const std::string recorder = ReadRegistryText(RegistryRoot::LocalMachine, "SOFTWARE\\Vantora\\VNR", "PATH");
    line("recorder", recorder.empty() ? "(none)" : recorder, "registry HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR PATH");
    return 0;
}

std::string Dump(const Json& j) { return j.dump(2, ' ', false, Json::error_handler_t::replace); }

int Usage(std::ostream& err, const std::string& problem) {
    err << "pacs-vantora-driver: " << problem << "\n" << kUsage;
    return 2;
}

}  // namespace

std::optional<int> RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return std::nullopt;
    const std::string& mode = args[0];
    if (mode == "--help" || mode == "-h") {
        out << kUsage;
        return 0;
    }
    if (mode == "--version") {
        out << "pacs-vantora-driver " << PVD_VERSION_STRING << "\n";
        return 0;
    }
    if (mode == "--load") {
        if (args.size() != 2) return Usage(err, "--load takes exactly one FILE");
        OrderState order;
        NullLog log;
        IntakeContext ctx{xml::DefaultDocumentFactory(), log, SystemClock()};
        LoadOutcome outcome = LoadOrderFile(order, args[1], ctx);
        out << Dump(OrderJson(order, outcome)) << "\n";
        return 0;
    }
    if (mode == "--paths") {
        if (args.size() != 1) return Usage(err, "--paths takes no argument");
        return PrintPaths(out);
    }
    return Usage(err, "unknown option " + mode);
}

}  // namespace pvd

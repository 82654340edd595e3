#include "app/cli.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <iostream>
#include <ostream>

#include "app/Form1.h"
#include "app/activity_log.h"
#include "app/journal.h"
#include "app/system_services.h"
#include "dictation/StartVNR.h"
#include "format/FileControl.h"
#include "app/order_file.h"
#include "intake/loaders.h"
#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "settings/EnvironmentFunction.h"
#include "settings/policy.h"
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
    "  --show         run in the notification area with the window open\n"
    "  --load FILE    read FILE as an order and print it as JSON; launches nothing\n"
    "  --launch FILE  read FILE as an order and launch its dictation once: create or\n"
    "                 reuse the dictation file and start the recorder; prints its path\n"
    "                 (exit 1: the file cannot be created, 3: FILE is not an order,\n"
    "                 4: the file is ready but the recorder could not be started)\n"
    "  --journal [N]  print the last N events of the launch journal (default 20):\n"
    "                 each load of the order file, each dictation launched and\n"
    "                 whether the recorder started, each start and exit\n"
    "  --journal --json [N]\n"
    "                 the same as JSON lines, one event per line\n"
    "  --paths        print every location the program uses and where it came from\n"
    "  --quit [FOLDER]\n"
    "                 ask the running program to end as \"Exit\" does and wait until\n"
    "                 it has ended (on Windows, run by an administrator: the\n"
    "                 program of every user session); exit 0 when none runs any\n"
    "                 more, 1 when one still runs. With FOLDER, the program's\n"
    "                 installed folder: then also exit 1, naming the file, when\n"
    "                 another program holds a file of the program there open so\n"
    "                 that it cannot be replaced (on Windows)\n"
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
    // Stored values that cannot be used are listed at the end, every one of
    // them, whatever was noted before.
    MemoryLog ignored;
    ForgetNotedValues();
    SetSettingsLog(&ignored);
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
    v = GetProfileFolder(GetProductKeyName(), &src);
    line("profile folder", v, src.text);
    const std::string profileFile = GetProfilePathFilename();
    line("profile file", profileFile, "");
    line("profile section", GetCurrentProfile(), GetFileBaseName(profileFile).empty() ? "default section" : "profile file name");
    line("settings file", SettingsFileName(), "application name " + GetSettingsAppName());
    line("machine registry file", RegistryLocation(RegistryRoot::LocalMachine), RegistryLocationSource(RegistryRoot::LocalMachine));
    line("user registry file", RegistryLocation(RegistryRoot::CurrentUser), RegistryLocationSource(RegistryRoot::CurrentUser));
    v = ProgramTempFolder(&src);
    line("temporary folder", v.empty() ? "(none)" : v, src.text);
    const std::string logProblem = PrivateFolderProblem(v);
    line("log file", LogFileName().empty() ? "(none)" : LogFileName(), logProblem.empty() ? "" : "not written: " + logProblem);
    if (const std::optional<bool> verbose = GetPolicyVerboseLog(&src))
        line("verbose log", *verbose ? "on" : "off", src.text);
    else
        line("verbose log", "as the settings say", "setting [Defaults] VerboseLog, until VerboseLogDate");
    const std::string journal = JournalFileName();
    line("launch journal", journal.empty() ? "(none)" : journal, UserStateFolderSource());
    src.text.clear();
    const std::string recorder = GetVNRPath(&src);
    line("recorder", recorder.empty() ? "(none)" : recorder, src.text);
    ReleaseSettingsLog(&ignored);
    for (const std::string& why : ignored.lines) out << "ignored: " << why.substr(why.find(' ') + 1) << "\n";
    return 0;
}

// The launch without a window: the message goes to standard error.
class ConsoleView final : public Form1View {
public:
    explicit ConsoleView(std::ostream& err) : err_(err) {}
    void ShowMessage(const std::string& text) override { err_ << text << "\n"; }
    void ScheduleRecheck(int) override {}
    void SetCaption(const std::string&) override {}
    void ShowOrderFields(const OrderFields&) override {}
    void SetXMLFileText(const std::string&) override {}
    void SetLaunchEnabled(bool, bool) override {}
    void EnableTimer() override {}
    void ShowWindow() override {}
    void HideWindow() override {}
    void MinimizeWindow() override {}
    void SetWindowStateNormal() override {}
    bool TrayAvailable() override { return false; }
    bool AddTrayIcon(const std::string&, int) override { return false; }
    void RemoveTrayIcon() override {}
    void PopupFileMenu() override {}
    std::optional<std::string> ShowOpenDialog(const std::string&, const std::string&, int, const std::string&) override {
        return std::nullopt;
    }
    void Quit() override {}

private:
    std::ostream& err_;
};

int Launch(const std::string& file, std::ostream& out, std::ostream& err) {
    SelectSettingsProfile();
    InitFileControl();
    SystemServices services;
    // Its loads, refusals and failures go to the activity log too.
    services.EnsureTempFolder(services.TempFolder());
    // Stored values that cannot be used are said in the log, once.
    SetSettingsLog(&services.log());
    ConsoleView view(err);
    Form1 form(services, view);
    if (!form.LoadOrder(file)) {
        err << "pacs-vantora-driver: " << file << " is not a readable order file\n";
        return 3;
    }
    LaunchOutcome outcome = form.Launch();
    if (outcome.result == LaunchResult::Failed || outcome.result == LaunchResult::Refused) return 1;
    out << outcome.path << "\n";
    // The file is ready; a configured recorder that did not start is a failure.
    if (!outcome.recorder.recorder.empty() && !outcome.recorder.started) return 4;
    return 0;
}

std::string Dump(const Json& j) { return j.dump(2, ' ', false, Json::error_handler_t::replace); }

int Usage(std::ostream& err, const std::string& problem) {
    err << "pacs-vantora-driver: " << problem << "\n" << kUsage;
    return 2;
}

// --journal [--json] [N], in either order; N counts events, at least 1.
int PrintJournalCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool json = false;
    std::optional<std::size_t> count;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::size_t n = 0;
        const auto [end, ec] = std::from_chars(a.data(), a.data() + a.size(), n);
        if (a == "--json" && !json) json = true;
        else if (!count && !a.empty() && ec == std::errc() && end == a.data() + a.size() && n >= 1) count = n;
        else return Usage(err, "--journal takes [--json] and a count N of at least 1, not " + a);
    }
    return PrintJournal(out, err, count.value_or(kJournalDefaultCount), json);
}

}  // namespace

int ReportEnd(const EndOutcome& outcome) {
    const bool done = outcome.result != EndOutcome::Result::StillRunning;
    (done ? std::cout : std::cerr) << "pacs-vantora-driver: " << outcome.detail << "\n";
    return done ? 0 : 1;
}

int ReportFilesInUse(const std::string& folder) {
    // The files an upgrade or removal replaces in the program's folder.
    static const std::vector<std::string> kProgramFiles{"pacs-vantora-driver.exe", "vnfformat.dll", "FileControllerDll.dll",
                                                        "vnfdump.exe", "demo-recorder.exe"};
    const std::vector<std::string> held = FilesInUse(folder, kProgramFiles);
    if (held.empty()) {
        std::cout << "pacs-vantora-driver: no file of the program in " << folder << " is in use\n";
        return 0;
    }
    for (const std::string& h : held)
        std::cerr << "pacs-vantora-driver: a file of the program is in use by another program and cannot be replaced: " << h
                  << "\n";
    return 1;
}

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
    if (mode == "--launch") {
        if (args.size() != 2) return Usage(err, "--launch takes exactly one FILE");
        return Launch(args[1], out, err);
    }
    if (mode == "--journal") return PrintJournalCommand(args, out, err);
    if (mode == "--quit") return Usage(err, "--quit takes at most one FOLDER");  // with at most one, the view's
    if (mode == "--paths") {
        if (args.size() != 1) return Usage(err, "--paths takes no argument");
        return PrintPaths(out);
    }
    return Usage(err, "unknown option " + mode);
}

}  // namespace pvd

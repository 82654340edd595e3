// Machine policy: values an administrator fixes for every user of the
// machine under HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Vantora\VNRecorder
// (Group Policy, or the machine registry file on POSIX). A policy value
// beats every other source of its setting, the user's own included; one
// that is present but unusable is noted once and ignored as a whole.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "settings/EnvironmentFunction.h"

namespace pvd {

// The policy values the program reads.
inline constexpr const char* kPolicyOrderFile = "XMLDataPath";         // full path of the order file
inline constexpr const char* kPolicyDictationRoot = "WorkingDirectory";  // full path of the dictation root
inline constexpr const char* kPolicyRecorder = "RecorderPath";         // full path of the recorder program
inline constexpr const char* kPolicyProfileFolder = "VNPROFILE";       // full path of the profile folder
inline constexpr const char* kPolicyVerboseLog = "VerboseLog";         // REG_DWORD: 0 off, anything else on

struct PolicyValue {
    const char* name;
    bool path;  // a full path (text); otherwise a REG_DWORD
};
// Every policy value the program reads, for the administrative templates.
const std::vector<PolicyValue>& PolicyValues();

// SOFTWARE\Policies\Vantora\<name>: the policy key of a product key name.
std::string GetPolicyKeyPath(const std::string& name);
// The policy key of the program: SOFTWARE\Policies\Vantora\VNRecorder.
std::string GetPolicyRegistryKey();

// A path policy: its full path, "" when it is not set or cannot be used
// (not text, empty, a NUL inside, not a full path). `source` says which
// value and view it came from.
std::string GetPolicyPath(const char* name, PathSource* source = nullptr);
// The verbose-log policy: on or off, nothing when it is not set or cannot
// be used (not a REG_DWORD).
std::optional<bool> GetPolicyVerboseLog(PathSource* source = nullptr);

}  // namespace pvd

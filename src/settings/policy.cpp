#include "settings/policy.h"

#include "settings/registry.h"

namespace pvd {

const std::vector<PolicyValue>& PolicyValues() {
    static const std::vector<PolicyValue> values = {{kPolicyOrderFile, true},
                                                    {kPolicyDictationRoot, true},
                                                    {kPolicyRecorder, true},
                                                    {kPolicyProfileFolder, true},
                                                    {kPolicyVerboseLog, false}};
    return values;
}

std::string GetPolicyKeyPath(const std::string& name) { return "SOFTWARE\\Policies\\Vantora\\" + name; }

std::string GetPolicyRegistryKey() { return GetPolicyKeyPath(GetProductKeyName()); }

std::string GetPolicyPath(const char* name, PathSource* source) {
    std::string text;
    // An administrator's value is used whole or not at all: an empty or
    // relative path would otherwise be completed from somewhere else.
    auto judge = [&](const RegistryValue& value) {
        if (!RegistryTextOf(value, text)) return RegistryJudgement{false, "it is not text (registry type " + std::to_string(value.type) + ")"};
        if (text.empty()) return RegistryJudgement{false, "it is empty"};
        if (std::string problem = PathTextProblem(text); !problem.empty()) return RegistryJudgement{false, problem};
        if (!IsFullPath(text)) return RegistryJudgement{false, "\"" + text + "\" is not a full path"};
        return RegistryJudgement{true, ""};
    };
    RegistryValue value;
    std::string where;
    if (!ReadUsableRegistryValue(RegistryRoot::LocalMachine, GetPolicyRegistryKey(), name, judge, value, &where)) return {};
    if (source) source->text = "policy " + where;
    return text;
}

std::optional<bool> GetPolicyVerboseLog(PathSource* source) {
    auto judge = [](const RegistryValue& value) {
        if (value.type != 4 || value.bytes.size() != 4)
            return RegistryJudgement{false, "it is not a REG_DWORD (registry type " + std::to_string(value.type) + ")"};
        return RegistryJudgement{true, ""};
    };
    RegistryValue value;
    std::string where;
    if (!ReadUsableRegistryValue(RegistryRoot::LocalMachine, GetPolicyRegistryKey(), kPolicyVerboseLog, judge, value, &where))
        return std::nullopt;
    if (source) source->text = "policy " + where;
    return value.bytes[0] != 0 || value.bytes[1] != 0 || value.bytes[2] != 0 || value.bytes[3] != 0;
}

}  // namespace pvd

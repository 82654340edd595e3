#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Form1.h"

namespace pvd::test {

// Services that record every call and can be told to fail any of them.
class FakeServices : public Form1Services {
public:
    std::vector<std::string> calls;
    std::set<std::string> failing;  // calls that throw
    bool another = false;
    std::string xmlPath = "/d/Drafts/ridavaruz.xml";
    std::map<std::string, FileDate> dates;
    std::map<std::string, std::string> settings;
    std::set<std::string> files;
    bool legacyOk = true, genericOk = true;
    OrderFields legacyFields{"987", "A678", "CT", "Doe", "u"};
    bool createOk = true;

    void Call(const std::string& name) {
        calls.push_back(name);
        if (failing.contains(name)) throw std::runtime_error(name);
    }
    bool Called(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) != calls.end(); }
    std::size_t Index(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) - calls.begin(); }
    int Count(const std::string& name) const { return static_cast<int>(std::count(calls.begin(), calls.end(), name)); }

    bool AnotherInstanceRunning() override { return Call("instance"), another; }
    void InitFileControl() override { Call("filecontrol"); }
    void InitFileSystem() override { Call("filesystem"); }
    std::string TempFolder() override { return Call("temp"), "/t/Vantora/VNRecorder"; }
    void EnsureTempFolder(const std::string&) override { Call("ensure-temp"); }
    void SetSettingsAppName(const std::string& n) override { Call("appname:" + n); }
    std::string GetProfilePathFilename() override { return Call("profile-path"), "/p/recorder.pfl"; }
    void SetCurrentProfile(const std::string& n) override { Call("profile:" + n); }
    void WriteLog(const std::string& m) override { Call("log:" + m); }
    void StartLog() override { Call("startlog"); }
    std::string GetXMLFilename() override { return Call("xmlname"), xmlPath; }
    std::function<void()> duringLoad;  // runs inside every load, as a rewrite would
    int reads = 0;
    std::vector<std::string> legacySaw, genericSaw;  // the bytes each loader was given
    xml::FileSnapshot ReadOrderFile(const std::string& p) override {
        Call("read:" + p);
        xml::FileSnapshot f;
        f.path = p;
        f.readable = true;
        f.bytes = "version " + std::to_string(++reads);
        return f;
    }
    bool LoadLegacyXML(OrderState& o, const xml::FileSnapshot& f) override {
        const std::string& p = f.path;
        legacySaw.push_back(f.bytes);
        Call("legacy:" + p);
        if (duringLoad) duringLoad();
        if (legacyOk) o.fields = legacyFields;
        return legacyOk;
    }
    bool LoadXML(OrderState& o, const xml::FileSnapshot& f) override {
        genericSaw.push_back(f.bytes);
        Call("generic:" + f.path);
        if (genericOk) o.xml_elements = {{"<X>", "1"}};
        return genericOk;
    }
    FileDate GetFileModifiedDate(const std::string& p) override {
        Call("date");
        auto it = dates.find(p);
        return it == dates.end() ? 0 : it->second;
    }
    void SaveDefaultSetting(const std::string& k, const std::string& v) override {
        Call("save:" + k);
        settings[k] = v;
        if (k == "XMLDataPath") xmlPath = v;
    }
    std::string GetDraftsFolder() override { return "/d/Drafts"; }
    bool FileExistsQuiet(const std::string& p) override { return files.contains(p); }
    bool CreateNewFile(const std::string& p, const OrderState&) override {
        Call("create:" + p);
        if (createOk) files.insert(p);
        return createOk;
    }
    void StartVNR(const std::string& p) override { Call("start:" + p); }
};

}  // namespace pvd::test

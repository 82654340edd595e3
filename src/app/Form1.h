// The main window's state and operations, free of any toolkit: the order
// fields, the element collections, and the launch command. A view draws it
// and forwards events to it.
#pragma once

#include <functional>
#include <string>

#include "dictation/new_file.h"
#include "intake/loaders.h"

namespace pvd {

// The one message box of the program, and whatever shows it.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(const std::string& text) = 0;
};

struct Form1Services {
    LogSink& log;
    const Clock& clock;
    xml::DocumentFactory& xml;
    VnfDriver& driver;
    MessageSink& messages;
    std::function<bool(const std::string&)> startRecorder;  // StartVNR in the program
};

enum class LaunchResult { Reused, Created, Refused, Failed };

struct LaunchOutcome {
    LaunchResult result = LaunchResult::Failed;
    std::string path;
};

class Form1 {
public:
    explicit Form1(Form1Services services) : s_(std::move(services)) {}

    OrderState& order() { return order_; }
    const OrderState& order() const { return order_; }

    // The launch command: create or reuse the order's dictation file in the
    // drafts folder and start the recorder on it; "Unable to create " and the
    // path when that cannot be done.
    void cmdLaunch_Click() { Launch(); }
    LaunchOutcome Launch();

    bool MakeNewVnfFile(const std::string& path);
    bool CreateNewFile(const std::string& path);

    LoadOutcome LoadOrder(const std::string& path);

private:
    NewFileContext NewFile() const { return {s_.driver, RecordingSettings(), s_.log, s_.clock}; }

    Form1Services s_;
    OrderState order_;
};

}  // namespace pvd

// Where operations send their activity-log lines. The application's log writes
// them to a file; tests collect them.
#pragma once

#include <string>
#include <vector>

namespace pvd {

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void WriteLog(const std::string& message) = 0;
    // Written only while verbose logging is on.
    virtual void WriteVerboseLog(const std::string& message) = 0;
};

class NullLog final : public LogSink {
public:
    void WriteLog(const std::string&) override {}
    void WriteVerboseLog(const std::string&) override {}
};

class MemoryLog final : public LogSink {
public:
    void WriteLog(const std::string& message) override { lines.push_back(message); }
    void WriteVerboseLog(const std::string& message) override {
        if (verbose) lines.push_back(message);
    }
    bool verbose = false;
    std::vector<std::string> lines;
};

}  // namespace pvd

#pragma once
// The client's replaceable logger, and the default one that prints to the
// console by level: 0 nothing, 1 errors, 2 also warnings, 3 also info, 4 also
// verbose.
#include <atomic>
#include <cstdint>
#include <string>

#include "analytics/TLYLog.h"

class TLYLogger {
public:
    virtual ~TLYLogger() = default;
    virtual void verbose(const std::string& message) = 0;
    virtual void info(const std::string& message) = 0;
    virtual void warning(const std::string& message) = 0;
    virtual void error(const std::string& message) = 0;
    virtual uint64_t logLevel() const = 0;
    virtual void setLogLevel(uint64_t level) = 0;
};

class TLYDefaultLogger : public TLYLogger {
public:
    void verbose(const std::string& message) override;
    void info(const std::string& message) override;
    void warning(const std::string& message) override;
    void error(const std::string& message) override;
    uint64_t logLevel() const override { return logLevel_; }
    void setLogLevel(uint64_t level) override { logLevel_ = level; }
    // Whether the level set lets a line of `level` through.
    bool logs(TLYLogLevel level) const;

private:
    std::atomic<uint64_t> logLevel_{2};
};

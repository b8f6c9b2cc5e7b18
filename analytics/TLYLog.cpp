#include "analytics/TLYLog.h"

#include "analytics/TLY.h"
#include "analytics/TLYLogger.h"
#include "platform/foundation/FileManager.h"

bool tlyLogWanted(TLYLogLevel level) {
    std::shared_ptr<TLYLogger> logger = TLY::sharedLogger();
    if (!logger) return false;
    // Only the default logger's filter is known; any other logger gets every line.
    const auto* plain = dynamic_cast<const TLYDefaultLogger*>(logger.get());
    return !plain || plain->logs(level);
}

void tlyLog(TLYLogLevel level, const char* method, const char* file, int line, const std::string& text) {
    std::string message =
        platform::foundation::format("%s %s %s (%s:%d): ", kTLYProductName, kTLYProductVersion, method,
                                     platform::foundation::FileManager::lastPathComponent(file).c_str(), line);
    message += text;
    // A copy: the logger may be replaced on another thread meanwhile.
    std::shared_ptr<TLYLogger> logger = TLY::sharedLogger();
    if (!logger) return;
    switch (level) {
    case TLYLogLevel::Error: logger->error(message); break;
    case TLYLogLevel::Warning: logger->warning(message); break;
    case TLYLogLevel::Info: logger->info(message); break;
    case TLYLogLevel::Verbose: logger->verbose(message); break;
    }
}

void tlyLogBareWarning(const std::string& text) {
    if (auto logger = TLY::sharedLogger()) logger->warning(text);
}

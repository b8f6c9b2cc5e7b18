#include "crash/manager/PKRLog.h"

#include <atomic>

#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Log.h"

namespace {
std::atomic<bool> gDebugLogEnabled{false};
}

void PKRLog::setDebugLogEnabled(bool enabled) { gDebugLogEnabled = enabled; }

bool PKRLog::isDebugLogEnabled() { return gDebugLogEnabled; }

void PKRLog::debug(const char* method, int line, const char* level, const std::string& text) {
    if (!gDebugLogEnabled || current_app_environment() == kPKREnvironmentAppStore) return;
    platform::foundation::log(platform::foundation::format("[PelkorSDK] %s/%d ", method, line) + level + text);
}

void PKRLog::plain(const std::string& text) { platform::foundation::log("[PelkorSDK] " + text); }

#pragma once
// Records which public operations the application called, one letter per
// operation, and hands the letters to the next hit as "&_u".
#include <string>

class TLYUsageTracker {
public:
    // Appends the selector's letter when the table has one.
    static void trackTarget(const void* target, const std::string& selector);
    static void trackAction(const std::string& selector) { trackTarget(nullptr, selector); }
    void trackActionOnInstance(const std::string& selector) { trackTarget(this, selector); }
    // "." and the letters recorded since the last call, or "" when none; starts afresh.
    static std::string getUsageSequence();
    // The letter of a selector, or 0 when it records nothing.
    static char letterForSelector(const std::string& selector);
};

#include "analytics/TLYExceptionParser.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdlib>
#include <sstream>

#include "analytics/TLYUnicode.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"

std::string TLYExceptionParser::exceptionDescription(const platform::foundation::Exception& exception,
                                                     size_t maxLength) {
    return exceptionDescription(exception.name(), callStackSymbols(exception), maxLength);
}

std::string TLYExceptionParser::exceptionDescription(const std::string& name,
                                                     const std::vector<std::string>& callStackSymbols,
                                                     size_t maxLength) {
    std::string text = name;
    if (callStackSymbols.size() >= 3) {
        bool first = true;
        for (size_t i = 2; i < callStackSymbols.size(); ++i) {
            auto symbol = symbolFromStackFrame(callStackSymbols[i]);
            if (!symbol) continue;
            if (first) text += "\nTrace:";
            first = false;
            text += "\n" + *symbol;
            if (maxLength && tlyUTF16Length(text) >= maxLength) break;
        }
    }
    // Cut between characters: half a character would make the text invalid.
    if (maxLength && tlyUTF16Length(text) > maxLength) text = tlyPrefixOfUTF16Length(text, maxLength);
    return text;
}

std::optional<std::string> TLYExceptionParser::symbolFromStackFrame(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> parts;
    for (std::string part; in >> part;) parts.push_back(part);
    if (parts.size() < 4) return std::nullopt;
    if (parts[3] == "+[NSException") return std::nullopt;
    if (parts.size() >= 5 && parts[4] != "+") return parts[3] + " " + parts[4];
    return parts[3];
}

std::vector<std::string> TLYExceptionParser::callStackSymbols(const platform::foundation::Exception& exception) {
    std::vector<std::string> lines;
    const auto& addresses = exception.callStackReturnAddresses();
    for (size_t i = 0; i < addresses.size(); ++i) {
        uintptr_t address = addresses[i];
        Dl_info info{};
        std::string image = "???", symbol;
        uintptr_t offset = 0;
        if (dladdr(reinterpret_cast<void*>(address), &info)) {
            if (info.dli_fname) image = platform::foundation::FileManager::lastPathComponent(info.dli_fname);
            if (info.dli_sname) {
                int status = 0;
                char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
                symbol = status == 0 && demangled ? demangled : info.dli_sname;
                std::free(demangled);
                offset = address - reinterpret_cast<uintptr_t>(info.dli_saddr);
            } else if (info.dli_fbase) {
                offset = address - reinterpret_cast<uintptr_t>(info.dli_fbase);
            }
        }
        // One word per symbol, so the line splits at blanks as the layout expects.
        std::string compact;
        for (char c : symbol)
            if (c != ' ') compact += c;
        if (compact.empty()) compact = image;
        lines.push_back(platform::foundation::format("%-4zu%-35s 0x%016llx %s + %llu", i, image.c_str(),
                                                     (unsigned long long)address, compact.c_str(),
                                                     (unsigned long long)offset));
    }
    return lines;
}

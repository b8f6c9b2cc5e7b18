#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/UserDefaults.h"

namespace platform::foundation {

namespace {

struct Main {
    std::mutex m;
    std::string path, infoPath;
    Bundle* bundle = nullptr;
    std::vector<Bundle*> retired;  // references handed out stay valid
};

Main& mainState() {
    static Main* s = new Main;
    return *s;
}

std::string executableFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    return FileManager::deletingLastPathComponent(std::string(buf, size_t(n)));
}

void replaceMain(Main& s) {
    if (s.bundle) s.retired.push_back(s.bundle);
    s.bundle = nullptr;
}

bool isDirectory(const std::string& path) {
    bool dir = false;
    return FileManager::exists(path, &dir) && dir;
}

}  // namespace

Bundle& Bundle::main() {
    auto& s = mainState();
    std::lock_guard lock(s.m);
    if (!s.bundle) s.bundle = new Bundle(s.path.empty() ? executableFolder() : s.path, s.infoPath);
    return *s.bundle;
}

void Bundle::setMainBundlePath(const std::string& path, const std::string& infoPlistPath) {
    auto& s = mainState();
    std::lock_guard lock(s.m);
    s.path = path;
    s.infoPath = infoPlistPath;
    replaceMain(s);
}

std::string Bundle::mainBundlePathSetting() {
    auto& s = mainState();
    std::lock_guard lock(s.m);
    return s.path;
}

std::string Bundle::mainInfoPlistPathSetting() {
    auto& s = mainState();
    std::lock_guard lock(s.m);
    return s.infoPath;
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::string& path) {
    if (!isDirectory(path)) return nullptr;
    return std::make_shared<Bundle>(path);
}

Bundle::Bundle(std::string path, std::string infoPlistPath)
    : path_(std::move(path)), infoPath_(infoPlistPath.empty() ? path_ + "/Info.plist" : std::move(infoPlistPath)) {}

const Value& Bundle::infoDictionary() const {
    std::call_once(infoOnce_, [this] {
        info_ = Value::emptyDictionary();
        Error error;
        auto v = Value::readPropertyListFile(infoPath_, &error);
        if (v && v->isDictionary()) {
            info_ = std::move(*v);
            return;
        }
        // A bundle without one is an ordinary bundle; one that cannot be read is not.
        if (!v && FileManager::readFailure(error) == ReadFailure::kMissing) return;
        infoProblem_ = v ? "not a dictionary" : error.localizedDescription();
        if (infoProblem_.rfind(infoPath_ + ": ", 0) == 0) infoProblem_.erase(0, infoPath_.size() + 2);
        if (!problemAsked_) log("Bundle: cannot read " + infoPath_ + ": " + infoProblem_);
    });
    return info_;
}

std::string Bundle::infoDictionaryProblem() const {
    problemAsked_ = true;
    infoDictionary();
    return infoProblem_;
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const { return infoDictionary()[key]; }

bool Bundle::isUsableIdentifier(const std::string& identifier) {
    return !identifier.empty() && identifier.find('/') == std::string::npos &&
           identifier.find("..") == std::string::npos && identifier.find('\0') == std::string::npos;
}

std::string Bundle::bundleIdentifier() const {
    const Value& v = infoDictionary()["CFBundleIdentifier"];
    if (!v.isString()) return "";
    if (v.string().empty() || isUsableIdentifier(v.string())) return v.string();
    std::call_once(identifierWarning_, [&] {
        log("Bundle: refusing the CFBundleIdentifier \"" + v.string() + "\" of " + infoPath_ +
            ": an identifier may not contain \"/\" or \"..\"");
    });
    return "";
}

std::string Bundle::preferredLocalization() const {
    Value langs = UserDefaults::preferredLanguages();
    if (langs.isArray()) {
        for (auto& l : langs.array()) {
            if (!l.isString() || l.string().empty()) continue;
            std::string lang = l.string();
            std::string underscored = lang;
            for (auto& c : underscored)
                if (c == '-') c = '_';
            std::string base = lang.substr(0, lang.find_first_of("-_"));
            for (const std::string& cand : std::vector<std::string>{lang, underscored, base})
                if (isDirectory(path_ + "/" + cand + ".lproj")) return cand;
        }
    }
    return "en";
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                   const std::string& subdirectory) const {
    std::string ext = !type.empty() && type[0] == '.' ? type.substr(1) : type;
    std::string file = ext.empty() ? name : name + "." + ext;
    if (file.empty()) return std::nullopt;
    std::string base = subdirectory.empty() ? path_ : FileManager::joinPath(path_, subdirectory);
    std::string lang = preferredLocalization();
    for (const std::string& dir :
         std::vector<std::string>{base, base + "/" + lang + ".lproj", base + "/en.lproj", base + "/Base.lproj"}) {
        std::string p = dir + "/" + file;
        if (FileManager::exists(p)) return p;
    }
    return std::nullopt;
}

const Value::Dictionary& Bundle::table(const std::string& lang, const std::string& name) const {
    std::lock_guard lock(tablesMutex_);
    std::string key = lang + "/" + name;
    if (auto it = tables_.find(key); it != tables_.end()) return it->second;
    Value::Dictionary& d = tables_[key];
    std::string path = path_ + "/" + lang + ".lproj/" + name + ".strings";
    if (auto bytes = FileManager::readFile(path)) {
        std::string error;
        if (auto parsed = parseStringsFile(*bytes, &error))
            d = std::move(*parsed);
        else
            log("Bundle: cannot read strings table " + path + ": " + error);
    }
    return d;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value, const std::string& table) const {
    std::string name = table.empty() ? "Localizable" : table;
    std::string lang = preferredLocalization();
    for (const std::string& l : std::vector<std::string>{lang, "en"}) {
        const auto& d = this->table(l, name);
        if (auto it = d.find(key); it != d.end() && it->second.isString()) return it->second.string();
        if (l == "en") break;
    }
    return value.empty() ? key : value;
}

// ---- .strings files

namespace {

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::optional<std::string> utf16ToUtf8(const std::string& bytes, size_t start, bool bigEndian) {
    if ((bytes.size() - start) % 2) return std::nullopt;
    std::string out;
    auto unit = [&](size_t i) {
        auto a = uint8_t(bytes[i]), b = uint8_t(bytes[i + 1]);
        return bigEndian ? uint16_t(a << 8 | b) : uint16_t(b << 8 | a);
    };
    for (size_t i = start; i < bytes.size(); i += 2) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t lo = unit(i + 2);
            if (lo >= 0xDC00 && lo < 0xE000) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(out, u);
    }
    return out;
}

class StringsParser {
public:
    explicit StringsParser(const std::string& text) : s_(text) {}

    std::optional<Value::Dictionary> parse(std::string* error) {
        Value::Dictionary d;
        for (;;) {
            if (!skip()) return fail(error);
            if (p_ >= s_.size()) break;
            std::string key, value;
            if (!string(key) || !skip()) return fail(error);
            if (p_ < s_.size() && s_[p_] == ';') {
                value = key;  // "key;" maps a key to itself
            } else {
                if (p_ >= s_.size() || s_[p_] != '=') return fail(error, "expected '=' after key \"" + key + "\"");
                ++p_;
                if (!skip() || !string(value) || !skip()) return fail(error);
                if (p_ >= s_.size() || s_[p_] != ';') return fail(error, "expected ';' after value of \"" + key + "\"");
            }
            ++p_;
            d[key] = Value(std::move(value));
        }
        return d;
    }

private:
    std::optional<Value::Dictionary> fail(std::string* error, const std::string& why = "") {
        if (error) {
            size_t line = 1;
            for (size_t i = 0; i < std::min(p_, s_.size()); ++i) line += s_[i] == '\n';
            *error = "line " + std::to_string(line) + ": " + (why.empty() ? why_ : why);
        }
        return std::nullopt;
    }

    // Whitespace and comments. False on an unterminated comment.
    bool skip() {
        while (p_ < s_.size()) {
            char c = s_[p_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++p_;
            } else if (s_.compare(p_, 2, "/*") == 0) {
                size_t end = s_.find("*/", p_ + 2);
                if (end == std::string::npos) {
                    why_ = "unterminated comment";
                    return false;
                }
                p_ = end + 2;
            } else if (s_.compare(p_, 2, "//") == 0) {
                size_t end = s_.find('\n', p_);
                p_ = end == std::string::npos ? s_.size() : end + 1;
            } else {
                break;
            }
        }
        return true;
    }

    static bool unquotedChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || strchr("_$+/:.-", c) != nullptr;
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    bool string(std::string& out) {
        if (p_ >= s_.size()) {
            why_ = "unexpected end of file";
            return false;
        }
        if (s_[p_] != '"') {
            size_t start = p_;
            while (p_ < s_.size() && unquotedChar(s_[p_])) ++p_;
            if (p_ == start) {
                why_ = std::string("unexpected character '") + s_[p_] + "'";
                return false;
            }
            out = s_.substr(start, p_ - start);
            return true;
        }
        ++p_;
        uint32_t pendingHigh = 0;  // a \U high surrogate waiting for its low half
        auto flushHigh = [&] {
            if (pendingHigh) appendUtf8(out, 0xFFFD);
            pendingHigh = 0;
        };
        while (p_ < s_.size()) {
            char c = s_[p_++];
            if (c == '"') {
                flushHigh();
                return true;
            }
            if (c != '\\') {
                flushHigh();
                out += c;
                continue;
            }
            if (p_ >= s_.size()) break;
            char e = s_[p_++];
            if (e == 'U' || e == 'u') {
                uint32_t cp = 0;
                int digits = 0;
                while (digits < 4 && p_ < s_.size() && hex(s_[p_]) >= 0)
                    cp = cp * 16 + uint32_t(hex(s_[p_++])), ++digits;
                if (digits == 0) {
                    flushHigh();
                    out += e;
                    continue;
                }
                if (cp >= 0xD800 && cp < 0xDC00) {
                    flushHigh();
                    pendingHigh = cp;
                } else if (cp >= 0xDC00 && cp < 0xE000 && pendingHigh) {
                    appendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (cp - 0xDC00));
                    pendingHigh = 0;
                } else {
                    flushHigh();
                    appendUtf8(out, cp);
                }
                continue;
            }
            flushHigh();
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7': {
                uint32_t v = uint32_t(e - '0');
                for (int i = 0; i < 2 && p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '7'; ++i)
                    v = v * 8 + uint32_t(s_[p_++] - '0');
                appendUtf8(out, v);
                break;
            }
            default: out += e; break;  // \" \\ \' and any other character stand for themselves
            }
        }
        why_ = "unterminated string";
        return false;
    }

    const std::string& s_;
    size_t p_ = 0;
    std::string why_ = "syntax error";
};

}  // namespace

std::optional<Value::Dictionary> parseStringsFile(const std::string& bytes, std::string* error) {
    std::string text;
    auto b = [&](size_t i) { return uint8_t(bytes[i]); };
    if (bytes.size() >= 2 && b(0) == 0xFF && b(1) == 0xFE) {
        auto t = utf16ToUtf8(bytes, 2, false);
        if (!t) {
            if (error) *error = "odd length for UTF-16";
            return std::nullopt;
        }
        text = std::move(*t);
    } else if (bytes.size() >= 2 && b(0) == 0xFE && b(1) == 0xFF) {
        auto t = utf16ToUtf8(bytes, 2, true);
        if (!t) {
            if (error) *error = "odd length for UTF-16";
            return std::nullopt;
        }
        text = std::move(*t);
    } else if (bytes.size() >= 3 && b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) {
        text = bytes.substr(3);
    } else if (bytes.compare(0, 8, "bplist00") == 0 || bytes.compare(0, 5, "<?xml") == 0) {
        // Compiled tables are property lists.
        Error e;
        auto v = Value::fromPropertyList(bytes.data(), bytes.size(), &e);
        if (!v || !v->isDictionary()) {
            if (error) *error = v ? "not a dictionary" : e.localizedDescription();
            return std::nullopt;
        }
        return v->dictionary();
    } else {
        text = bytes;
    }
    return StringsParser(text).parse(error);
}

}  // namespace platform::foundation

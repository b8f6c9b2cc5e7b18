#include "platform/ui/InterfaceLoader.h"

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <typeinfo>
#include <utility>
#include <variant>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/InterfaceProperties.h"
#include "platform/ui/Label.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/Slider.h"
#include "platform/ui/Switch.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TextField.h"
#include "platform/ui/TextView.h"
#include "platform/ui/Window.h"

namespace platform::ui {

using foundation::Error;
using foundation::Value;
using TypedValue = InterfaceProperties::TypedValue;

// ---- class registry

namespace {

std::mutex gRegistryMutex;

std::map<std::string, ClassRegistry::Factory>& registry() {
    static std::map<std::string, ClassRegistry::Factory> r = [] {
        std::map<std::string, ClassRegistry::Factory> m;
        auto view = [](auto make) {
            return [make] {
                NibInstance i;
                i.view = make();
                return i;
            };
        };
        m["View"] = view([] { return std::make_shared<View>(); });
        m["Label"] = view([] { return std::make_shared<Label>(); });
        m["Button"] = view([] { return std::make_shared<Button>(); });
        m["ImageView"] = view([] { return std::make_shared<ImageView>(); });
        m["Switch"] = view([] { return std::make_shared<Switch>(); });
        m["Slider"] = view([] { return std::make_shared<Slider>(); });
        m["ScrollView"] = view([] { return std::make_shared<ScrollView>(); });
        m["TextField"] = view([] { return std::make_shared<TextField>(); });
        m["TextView"] = view([] { return std::make_shared<TextView>(); });
        m["TableView"] = view([] { return std::make_shared<TableView>(); });
        // A window covers the screen of the device being played.
        m["Window"] = view([] {
            const Screen& s = Screen::main();
            return std::make_shared<Window>(s.bounds().size, s.scale());
        });
        return m;
    }();
    return r;
}

}  // namespace

void ClassRegistry::registerClass(const std::string& name, Factory factory) {
    std::lock_guard lock(gRegistryMutex);
    registry()[name] = std::move(factory);
}

bool ClassRegistry::contains(const std::string& name) {
    std::lock_guard lock(gRegistryMutex);
    return registry().count(name) != 0;
}

NibInstance ClassRegistry::create(const std::string& name) {
    Factory f;
    {
        std::lock_guard lock(gRegistryMutex);
        auto it = registry().find(name);
        if (it == registry().end()) return {};
        f = it->second;
    }
    return f();
}

std::string NibObject::nibClassName() const {
    int status = 0;
    const char* mangled = typeid(*this).name();
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string out = status == 0 && name ? name : mangled;
    free(name);
    return out;
}

// ---- the loader

namespace {

struct Fault {
    int64_t code;
    std::string message;
};

std::optional<double> number(const Value& v) {
    if (v.type() == Value::Type::Integer || v.type() == Value::Type::Real) {
        const double d = v.doubleValue();
        if (std::isfinite(d)) return d;
    }
    return std::nullopt;
}

std::optional<std::vector<double>> numbers(const Value& v, size_t count) {
    if (!v.isArray() || v.size() != count) return std::nullopt;
    std::vector<double> out;
    for (const Value& e : v.array()) {
        auto d = number(e);
        if (!d) return std::nullopt;
        out.push_back(*d);
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<Color> color(const Value& v) {
    if (v.isString()) {
        const std::string& s = v.string();
        static const std::map<std::string, Color> named = {
            {"clear", Color::clear()},   {"black", Color::black()},       {"white", Color::whiteColor()},
            {"gray", Color::gray()},     {"darkGray", Color::darkGray()}, {"lightGray", Color::lightGray()},
            {"red", Color::red()},       {"green", Color::green()},       {"blue", Color::blue()},
            {"yellow", Color::yellow()}, {"orange", Color::orange()}};
        if (auto it = named.find(s); it != named.end()) return it->second;
        if (s.size() != 7 && s.size() != 9) return std::nullopt;
        if (s[0] != '#') return std::nullopt;
        int c[4] = {0, 0, 0, 255};
        for (size_t i = 0; i < (s.size() - 1) / 2; ++i) {
            const int hi = hexDigit(s[1 + 2 * i]), lo = hexDigit(s[2 + 2 * i]);
            if (hi < 0 || lo < 0) return std::nullopt;
            c[i] = hi * 16 + lo;
        }
        return Color::rgb255(c[0], c[1], c[2], c[3] / 255.0);
    }
    if (v.isDictionary()) {
        auto component = [&](const char* key, double def) -> std::optional<double> {
            if (!v.contains(key)) return def;
            auto d = number(v[key]);
            if (!d || *d < 0 || *d > 1) return std::nullopt;
            return d;
        };
        for (const auto& [key, _] : v.dictionary())
            if (key != "white" && key != "red" && key != "green" && key != "blue" && key != "alpha")
                return std::nullopt;
        auto a = component("alpha", 1);
        if (!a) return std::nullopt;
        if (v.contains("white")) {
            auto w = component("white", 0);
            if (!w || v.contains("red") || v.contains("green") || v.contains("blue")) return std::nullopt;
            return Color::white(*w, *a);
        }
        auto r = component("red", 0), g = component("green", 0), b = component("blue", 0);
        if (!r || !g || !b) return std::nullopt;
        return Color::rgba(*r, *g, *b, *a);
    }
    return std::nullopt;
}

std::optional<Font> font(const Value& v) {
    if (!v.isDictionary() || v.size() == 0) return std::nullopt;
    if (v.size() == 1 && v.contains("system")) {
        auto s = number(v["system"]);
        return s && *s > 0 ? std::optional(Font::systemFont(*s)) : std::nullopt;
    }
    if (v.size() == 1 && v.contains("boldSystem")) {
        auto s = number(v["boldSystem"]);
        return s && *s > 0 ? std::optional(Font::boldSystemFont(*s)) : std::nullopt;
    }
    if (v.size() == 2 && v["name"].isString() && v.contains("size")) {
        auto s = number(v["size"]);
        return s && *s > 0 ? std::optional(Font(v["name"].string(), *s)) : std::nullopt;
    }
    return std::nullopt;
}

template <class E>
std::optional<E> named(const Value& v, const std::map<std::string, E>& names) {
    if (!v.isString()) return std::nullopt;
    auto it = names.find(v.string());
    return it == names.end() ? std::nullopt : std::optional(it->second);
}

const std::map<std::string, unsigned> kAutoresizing = {{"flexibleLeftMargin", kAutoresizingFlexibleLeftMargin},
                                                       {"flexibleWidth", kAutoresizingFlexibleWidth},
                                                       {"flexibleRightMargin", kAutoresizingFlexibleRightMargin},
                                                       {"flexibleTopMargin", kAutoresizingFlexibleTopMargin},
                                                       {"flexibleHeight", kAutoresizingFlexibleHeight},
                                                       {"flexibleBottomMargin", kAutoresizingFlexibleBottomMargin}};
const std::map<std::string, ContentMode> kContentModes = {{"scaleToFill", ContentMode::ScaleToFill},
                                                          {"scaleAspectFit", ContentMode::ScaleAspectFit},
                                                          {"scaleAspectFill", ContentMode::ScaleAspectFill},
                                                          {"redraw", ContentMode::Redraw},
                                                          {"center", ContentMode::Center},
                                                          {"top", ContentMode::Top},
                                                          {"bottom", ContentMode::Bottom},
                                                          {"left", ContentMode::Left},
                                                          {"right", ContentMode::Right},
                                                          {"topLeft", ContentMode::TopLeft},
                                                          {"topRight", ContentMode::TopRight},
                                                          {"bottomLeft", ContentMode::BottomLeft},
                                                          {"bottomRight", ContentMode::BottomRight}};
const std::map<std::string, TextAlignment> kAlignments = {
    {"left", TextAlignment::Left}, {"center", TextAlignment::Center}, {"right", TextAlignment::Right}};
const std::map<std::string, LineBreakMode> kLineBreaks = {{"wordWrap", LineBreakMode::WordWrap},
                                                          {"charWrap", LineBreakMode::CharWrap},
                                                          {"clip", LineBreakMode::Clip},
                                                          {"truncateHead", LineBreakMode::TruncateHead},
                                                          {"truncateTail", LineBreakMode::TruncateTail},
                                                          {"truncateMiddle", LineBreakMode::TruncateMiddle}};
const std::map<std::string, unsigned> kEvents = {{"touchDown", kControlEventTouchDown},
                                                 {"touchDownRepeat", kControlEventTouchDownRepeat},
                                                 {"touchDragInside", kControlEventTouchDragInside},
                                                 {"touchDragOutside", kControlEventTouchDragOutside},
                                                 {"touchDragEnter", kControlEventTouchDragEnter},
                                                 {"touchDragExit", kControlEventTouchDragExit},
                                                 {"touchUpInside", kControlEventTouchUpInside},
                                                 {"touchUpOutside", kControlEventTouchUpOutside},
                                                 {"touchCancel", kControlEventTouchCancel},
                                                 {"valueChanged", kControlEventValueChanged}};

// Keys that are structure, not properties.
const std::set<std::string> kStructureKeys = {"class",   "id",       "outlet",  "outlets",   "action",
                                              "actions", "subviews", "comment", "buttonType"};

class Loader {
public:
    Loader(std::string file, const foundation::Bundle* bundle, NibObject* owner)
        : file_(std::move(file)), bundle_(bundle), owner_(owner) {}

    std::optional<InterfaceContents> run(const std::string& text, Error* error) {
        auto result = build(text);
        if (!result && error) *error = Error::withDescription(kInterfaceFileErrorDomain, fault_.code, fault_.message);
        return result;
    }

private:
    struct Made {
        NibInstance instance;
        const Value* node;
        std::string path;
    };

    bool fail(int64_t code, const std::string& where, const std::string& what) {
        fault_ = {code, file_ + (where.empty() ? "" : ": " + where) + ": " + what};
        return false;
    }

    std::optional<InterfaceContents> build(const std::string& text) {
        Error parseError;
        auto doc = Value::fromJSON(text, &parseError);
        if (!doc) {
            fail(kInterfaceFileMalformed, "", parseError.localizedDescription());
            return std::nullopt;
        }
        if (!doc->isDictionary() || !(*doc)["objects"].isArray()) {
            fail(kInterfaceFileMalformed, "", "the document must be an object with an \"objects\" array");
            return std::nullopt;
        }
        for (const auto& [key, _] : doc->dictionary())
            if (key != "objects" && key != "comment") {
                fail(kInterfaceFileMalformed, "", "unknown top-level key \"" + key + "\"");
                return std::nullopt;
            }
        InterfaceContents contents;
        const Value::Array& objects = (*doc)["objects"].array();
        for (size_t i = 0; i < objects.size(); ++i) {
            NibInstance inst;
            if (!make(objects[i], "objects[" + std::to_string(i) + "]", nullptr, inst)) return std::nullopt;
            contents.topLevelObjects.push_back(inst);
        }
        std::vector<std::function<void()>> connect;
        if (!prepareConnections(connect)) return std::nullopt;
        for (auto& c : connect) c();
        for (Made& m : made_) {
            if (m.instance.view)
                m.instance.view->awakeFromNib();
            else
                m.instance.object->awakeFromNib();
        }
        return contents;
    }

    bool make(const Value& node, std::string path, View* parent, NibInstance& out) {
        if (!node.isDictionary()) return fail(kInterfaceFileMalformed, path, "an object must be a JSON object");
        if (!node["class"].isString()) return fail(kInterfaceFileMalformed, path, "missing \"class\"");
        const std::string& cls = node["class"].string();
        path += " (" + cls + describe(node) + ")";
        if (node.contains("buttonType")) {
            auto type = named<Button::Type>(node["buttonType"],
                                            {{"custom", Button::Type::Custom}, {"system", Button::Type::System}});
            if (cls != "Button" || !type)
                return fail(kInterfaceFileBadProperty, path, "\"buttonType\" is \"custom\" or \"system\", on a Button");
            out.view = std::make_shared<Button>(Rect{}, *type);
        } else {
            out = ClassRegistry::create(cls);
        }
        if (!out) return fail(kInterfaceFileUnknownClass, path, "unknown class \"" + cls + "\" (not registered)");
        if (parent && !out.view) return fail(kInterfaceFileMalformed, path, "a subview must be a view");
        if (!out.view && !out.object) return fail(kInterfaceFileUnknownClass, path, "the class made nothing");

        if (!out.view) {
            for (const auto& [key, _] : node.dictionary())
                if (!kStructureKeys.count(key))
                    return fail(kInterfaceFileBadProperty, path,
                                "unknown property \"" + key + "\" (only views take properties)");
        } else if (!setProperties(*out.view, node, path)) {
            return false;
        }
        if (node.contains("id")) {
            if (!node["id"].isString() || node["id"].string().empty() || node["id"].string() == "owner")
                return fail(kInterfaceFileMalformed, path, "\"id\" must be a non-empty string other than \"owner\"");
            if (!ids_.emplace(node["id"].string(), out).second)
                return fail(kInterfaceFileMalformed, path, "duplicate id \"" + node["id"].string() + "\"");
        }
        made_.push_back({out, &node, path});

        if (node.contains("subviews")) {
            if (!node["subviews"].isArray())
                return fail(kInterfaceFileMalformed, path, "\"subviews\" must be an array");
            if (!out.view) return fail(kInterfaceFileMalformed, path, "only a view has subviews");
            const Value::Array& subs = node["subviews"].array();
            for (size_t i = 0; i < subs.size(); ++i) {
                NibInstance sub;
                if (!make(subs[i], path + ".subviews[" + std::to_string(i) + "]", out.view.get(), sub)) return false;
                out.view->addSubview(sub.view);
            }
        }
        return true;
    }

    static std::string describe(const Value& node) {
        if (node["outlet"].isString()) return " \"" + node["outlet"].string() + "\"";
        if (node["id"].isString()) return " #" + node["id"].string();
        return "";
    }

    // ---- properties

    static bool refuse(std::string& why, std::string message) {
        why = std::move(message);
        return false;
    }
    // `value` into `out`, or the message when there is none.
    template <class T>
    static bool take(std::optional<T> value, T& out, std::string& why, const char* message) {
        if (!value) return refuse(why, message);
        out = std::move(*value);
        return true;
    }

    // Reads a property's value by the type its setter takes; false with `why`
    // when the value is not of that type.
    bool read(const Value& v, const std::string&, bool& out, std::string& why) {
        return take(v.isBool() ? std::optional(v.boolValue()) : std::nullopt, out, why, "expected true or false");
    }
    bool read(const Value& v, const std::string&, double& out, std::string& why) {
        return take(number(v), out, why, "expected a number");
    }
    bool read(const Value& v, const std::string&, int64_t& out, std::string& why) {
        const bool whole = v.type() == Value::Type::Integer;
        return take(whole ? std::optional(v.intValue()) : std::nullopt, out, why, "expected a whole number");
    }
    bool read(const Value& v, const std::string&, std::string& out, std::string& why) {
        return take(v.isString() ? std::optional(v.string()) : std::nullopt, out, why, "expected a string");
    }
    bool read(const Value& v, const std::string&, Color& out, std::string& why) {
        return take(color(v), out, why,
                    "expected a colour: \"#rrggbb\", \"#rrggbbaa\", a colour name, {\"white\", \"alpha\"} or "
                    "{\"red\", \"green\", \"blue\", \"alpha\"} from 0 to 1");
    }
    bool read(const Value& v, const std::string&, Font& out, std::string& why) {
        return take(font(v), out, why,
                    "expected a font: {\"name\", \"size\"}, {\"system\": size} or {\"boldSystem\": size}");
    }
    bool read(const Value& v, const std::string& path, std::shared_ptr<Image>& out, std::string& why) {
        if (!v.isString() || v.string().empty()) return refuse(why, "an image is named by a non-empty string");
        out = Image::named(v.string(), bundle_);
        if (!out)  // as on the platform: the view stays without it
            foundation::log("Could not load the \"" + v.string() + "\" image referenced from " + file_ + ": " + path);
        return true;
    }
    bool read(const Value& v, const std::string&, Rect& out, std::string& why) {
        auto n = numbers(v, 4);
        return take(n ? std::optional(Rect{(*n)[0], (*n)[1], (*n)[2], (*n)[3]}) : std::nullopt, out, why,
                    "expected [x, y, width, height]");
    }
    bool read(const Value& v, const std::string&, Size& out, std::string& why) {
        auto n = numbers(v, 2);
        return take(n ? std::optional(Size{(*n)[0], (*n)[1]}) : std::nullopt, out, why, "expected [width, height]");
    }
    bool read(const Value& v, const std::string&, graphics::EdgeInsets& out, std::string& why) {
        auto n = numbers(v, 4);
        return take(n ? std::optional(graphics::EdgeInsets{(*n)[0], (*n)[1], (*n)[2], (*n)[3]}) : std::nullopt, out,
                    why, "expected [top, left, bottom, right]");
    }
    bool read(const Value& v, const std::string&, AutoresizingMask& out, std::string& why) {
        if (!v.isArray()) return refuse(why, "expected an array of flexible-edge names");
        unsigned mask = 0;
        for (const Value& e : v.array()) {
            auto bit = named(e, kAutoresizing);
            if (!bit) return refuse(why, "unknown autoresizing \"" + e.stringValue() + "\"");
            mask |= *bit;
        }
        out = AutoresizingMask(mask);
        return true;
    }
    template <class E>
    static bool readName(const Value& v, const std::map<std::string, E>& names, E& out, std::string& why) {
        auto e = named(v, names);
        if (!e) {
            why = "expected one of";
            for (const auto& [n, _] : names) why += " \"" + n + "\"";
            return false;
        }
        out = *e;
        return true;
    }
    bool read(const Value& v, const std::string&, ContentMode& out, std::string& why) {
        return readName(v, kContentModes, out, why);
    }
    bool read(const Value& v, const std::string&, TextAlignment& out, std::string& why) {
        return readName(v, kAlignments, out, why);
    }
    bool read(const Value& v, const std::string&, LineBreakMode& out, std::string& why) {
        return readName(v, kLineBreaks, out, why);
    }

    // Reads `v` as a value of the type with index `type` in TypedValue.
    template <size_t... I>
    bool read(size_t type, const Value& v, const std::string& path, TypedValue& out, std::string& why,
              std::index_sequence<I...>) {
        bool ok = false;
        (void)((type == I && (ok = read(v, path, out.emplace<I>(), why), true)) || ...);
        return ok;
    }

    // Sets the properties of `node` on `view`: every value is read first, key by
    // key, so a fault leaves the view untouched; then all are set in the order
    // the view's class declares them.
    bool setProperties(View& view, const Value& node, const std::string& path) {
        const InterfaceProperties& table = view.interfaceProperties();
        std::vector<std::pair<const InterfaceProperties::Property*, TypedValue>> values;
        for (const auto& [key, value] : node.dictionary()) {
            if (kStructureKeys.count(key)) continue;
            const InterfaceProperties::Property* property = table.find(key);
            if (!property) return fail(kInterfaceFileBadProperty, path + "." + key, "unknown property for this class");
            TypedValue read;
            std::string why;
            if (!this->read(property->type, value, path, read, why,
                            std::make_index_sequence<std::variant_size_v<TypedValue>>()))
                return fail(kInterfaceFileBadProperty, path + "." + key, why);
            values.emplace_back(property, std::move(read));
        }
        std::sort(values.begin(), values.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [property, value] : values) property->set(view, value);
        return true;
    }

    // ---- connections

    bool resolve(const Value& ref, const std::string& where, NibInstance& out) {
        if (!ref.isString())
            return fail(kInterfaceFileBadConnection, where, "a reference is the \"id\" of an object in the file");
        auto it = ids_.find(ref.string());
        if (it == ids_.end())
            return fail(kInterfaceFileBadConnection, where, "no object has the id \"" + ref.string() + "\"");
        out = it->second;
        return true;
    }

    // The connection table of an object of the file ("owner" is the file's owner).
    ConnectionTable* tableOf(const NibInstance& inst, NibObject* raw) {
        NibObject* obj = raw ? raw : inst.object ? inst.object.get() : dynamic_cast<NibObject*>(inst.view.get());
        if (!obj) return nullptr;
        auto it = tables_.find(obj);
        if (it == tables_.end()) {
            it = tables_.emplace(obj, std::make_unique<ConnectionTable>()).first;
            obj->declareConnections(*it->second);
        }
        return it->second.get();
    }

    std::string ownerName() const { return owner_ ? "owner " + owner_->nibClassName() : "the owner"; }

    bool outlet(ConnectionTable* table, const std::string& tableName, const std::string& name,
                const NibInstance& target, const std::string& where, std::vector<std::function<void()>>& connect) {
        const ConnectionTable::OutletSetter* setter = table ? table->findOutlet(name) : nullptr;
        if (!setter) return fail(kInterfaceFileBadConnection, where, tableName + " has no outlet \"" + name + "\"");
        if (!(*setter)(target.view, target.object, false))
            return fail(kInterfaceFileBadConnection, where,
                        "outlet \"" + name + "\" of " + tableName + " cannot hold this object's class");
        connect.push_back([setter, target] { (*setter)(target.view, target.object, true); });
        return true;
    }

    bool prepareConnections(std::vector<std::function<void()>>& connect) {
        ConnectionTable* ownerTable = owner_ ? tableOf({}, owner_) : nullptr;
        for (const Made& m : made_) {
            const Value& node = *m.node;
            if (node.contains("outlet")) {
                if (!node["outlet"].isString())
                    return fail(kInterfaceFileMalformed, m.path, "\"outlet\" names an outlet of the owner");
                if (!owner_)
                    return fail(kInterfaceFileBadConnection, m.path,
                                "outlet \"" + node["outlet"].string() + "\" but no owner");
                if (!outlet(ownerTable, ownerName(), node["outlet"].string(), m.instance, m.path + ".outlet", connect))
                    return false;
            }
            if (node.contains("outlets")) {
                if (!node["outlets"].isDictionary())
                    return fail(kInterfaceFileMalformed, m.path, "\"outlets\" maps outlet names to ids");
                ConnectionTable* table = tableOf(m.instance, nullptr);
                for (const auto& [name, ref] : node["outlets"].dictionary()) {
                    const std::string where = m.path + ".outlets." + name;
                    NibInstance target;
                    if (!resolve(ref, where, target)) return false;
                    if (!outlet(table, "this object", name, target, where, connect)) return false;
                }
            }
            if (!node.contains("action") && !node.contains("actions")) continue;
            auto control = std::dynamic_pointer_cast<Control>(m.instance.view);
            if (!control) return fail(kInterfaceFileBadConnection, m.path, "only a control sends actions");
            Value::Array actions;
            if (node.contains("action")) {
                if (!node["action"].isString())
                    return fail(kInterfaceFileMalformed, m.path + ".action", "expected the action's name");
                Value a = Value::emptyDictionary();
                a["selector"] = node["action"];
                actions.push_back(a);
            }
            if (node.contains("actions")) {
                if (!node["actions"].isArray())
                    return fail(kInterfaceFileMalformed, m.path + ".actions", "expected an array");
                for (const Value& a : node["actions"].array()) actions.push_back(a);
            }
            for (size_t i = 0; i < actions.size(); ++i) {
                const Value& a = actions[i];
                const std::string where = m.path + ".actions[" + std::to_string(i) + "]";
                if (!a.isDictionary() || !a["selector"].isString())
                    return fail(kInterfaceFileMalformed, where, "an action is {\"selector\", \"event\", \"target\"}");
                for (const auto& [k, _] : a.dictionary())
                    if (k != "selector" && k != "event" && k != "target")
                        return fail(kInterfaceFileMalformed, where, "unknown key \"" + k + "\"");
                // Buttons act on a tap, value controls when their value changes.
                unsigned events = (dynamic_cast<Switch*>(control.get()) || dynamic_cast<Slider*>(control.get()))
                                      ? kControlEventValueChanged
                                      : kControlEventTouchUpInside;
                if (a.contains("event")) {
                    auto e = named(a["event"], kEvents);
                    if (!e)
                        return fail(kInterfaceFileMalformed, where,
                                    "unknown event \"" + a["event"].stringValue() + "\"");
                    events = *e;
                }
                ConnectionTable* table = ownerTable;
                std::string tableName = ownerName();
                const void* targetId = owner_;
                if (a.contains("target") && a["target"] != Value("owner")) {
                    NibInstance target;
                    if (!resolve(a["target"], where + ".target", target)) return false;
                    table = tableOf(target, nullptr);
                    tableName = "the target";
                    targetId = target.object ? static_cast<const void*>(target.object.get()) : target.view.get();
                } else if (!owner_) {
                    return fail(kInterfaceFileBadConnection, where, "an action to the owner, but there is no owner");
                }
                const std::string& selector = a["selector"].string();
                const ConnectionTable::ActionFn* fn = table ? table->findAction(selector) : nullptr;
                if (!fn)
                    return fail(kInterfaceFileBadConnection, where, tableName + " has no action \"" + selector + "\"");
                connect.push_back([control, targetId, fn = *fn, events] {
                    control->addTarget(
                        targetId, [fn](Control& sender, const Event*) { fn(sender); }, events);
                });
            }
        }
        return true;
    }

    std::string file_;
    const foundation::Bundle* bundle_;
    NibObject* owner_;
    Fault fault_{0, ""};
    std::vector<Made> made_;
    std::map<std::string, NibInstance> ids_;
    std::map<NibObject*, std::unique_ptr<ConnectionTable>> tables_;
};

}  // namespace

std::optional<InterfaceContents> InterfaceLoader::loadFromText(const std::string& text, const std::string& fileName,
                                                               const foundation::Bundle* bundle, NibObject* owner,
                                                               Error* error) {
    return Loader(fileName, bundle, owner).run(text, error);
}

std::optional<InterfaceContents> InterfaceLoader::load(const std::string& name, const foundation::Bundle* bundle,
                                                       NibObject* owner, Error* error) {
    const foundation::Bundle& b = bundle ? *bundle : foundation::Bundle::main();
    const std::string fileName = name + ".json";
    auto path = b.pathForResource(name, "json");
    if (!path) {
        if (error)
            *error = Error::withDescription(kInterfaceFileErrorDomain, kInterfaceFileMissing,
                                            fileName + ": no such interface file in " + b.bundlePath());
        return std::nullopt;
    }
    const auto cannotBeRead = [&](const Error& why) {
        if (error)
            *error = Error::withDescription(kInterfaceFileErrorDomain, why.code,
                                            "the interface file " + *path + " cannot be read (" +
                                                foundation::reasonAbout(why, *path) + ")");
    };
    Error readError;
    auto text = foundation::FileManager::readFile(*path, &readError);
    if (!text) {
        readError.code = kInterfaceFileMissing;
        cannotBeRead(readError);
        return std::nullopt;
    }
    Error loadError;
    auto contents = loadFromText(*text, *path, &b, owner, &loadError);
    if (!contents) cannotBeRead(loadError);
    return contents;
}

}  // namespace platform::ui

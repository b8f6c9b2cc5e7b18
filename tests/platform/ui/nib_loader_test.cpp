#include <gtest/gtest.h>

#include "app_test_support.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Button.h"
#include "platform/ui/ClassRegistry.h"
#include "platform/ui/DeviceProfile.h"
#include "platform/ui/InterfaceLoader.h"
#include "platform/ui/InterfaceProperties.h"
#include "platform/ui/Label.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Slider.h"
#include "platform/ui/Switch.h"
#include "platform/ui/Window.h"
#include "tests/support/GlobalStateGuard.h"

using namespace platform::ui;
namespace pf = platform::foundation;

namespace {

class Owner : public NibObject {
public:
    std::shared_ptr<View> root;
    std::shared_ptr<Label> title;
    std::weak_ptr<Button> go;
    std::shared_ptr<Switch> toggle;
    std::vector<std::string> calls;
    Control* lastSender = nullptr;

    void declareConnections(ConnectionTable& t) override {
        t.outlet("root", root);
        t.outlet("title", title);
        t.outlet("go", go);
        t.outlet("toggle", toggle);
        t.action("go:", [this](Control& sender) {
            calls.push_back("go:");
            lastSender = &sender;
        });
        t.action("done", [this] { calls.push_back("done"); });
        t.action("toggled:", [this](Control&) { calls.push_back("toggled:"); });
    }
};

// A plain object of the file, with an outlet of its own; it checks in
// awakeFromNib that its outlet is already connected.
class Helper : public NibObject {
public:
    std::shared_ptr<Label> label;
    bool awokeConnected = false;
    static inline int awoken = 0;
    void declareConnections(ConnectionTable& t) override { t.outlet("label", label); }
    void awakeFromNib() override {
        awokeConnected = label != nullptr;
        ++awoken;
    }
};

class Probe : public View {
public:
    static inline int awoken = 0;
    void awakeFromNib() override { ++awoken; }
};

// A view class of an application's own, with properties of its own: its
// level is bounded by its span, so the span must be set first although the
// file's keys come the other way round.
class Gauge : public View {
public:
    double span = 1, level = 0;
    const InterfaceProperties& interfaceProperties() const override {
        static const InterfaceProperties table =
            InterfaceProperties::Of<Gauge>(View::interfaceProperties())
                .add<double>("span", [](Gauge& g, double s) { g.span = s; })
                .add<double>("level", [](Gauge& g, double l) { g.level = std::min(l, g.span); });
        return table;
    }
};

const char* kGood = R"({
  "comment": "a small screen",
  "objects": [
    {"class": "View", "outlet": "root", "frame": [0, 0, 320, 480], "backgroundColor": "#102030",
     "autoresizing": ["flexibleWidth", "flexibleHeight"],
     "subviews": [
       {"class": "Label", "id": "t", "outlet": "title", "frame": [10, 20, 300, 30], "text": "Hello",
        "font": {"name": "Helvetica-Bold", "size": 24}, "textColor": {"white": 1, "alpha": 0.5},
        "textAlignment": "center", "numberOfLines": 2, "tag": 7},
       {"class": "Button", "buttonType": "system", "outlet": "go", "frame": [10, 60, 100, 44], "title": "Go",
        "action": "go:", "actions": [{"selector": "done", "event": "touchDown"}]},
       {"class": "Switch", "outlet": "toggle", "on": true, "action": "toggled:"},
       {"class": "Slider", "maximumValue": 200, "minimumValue": 50, "value": 100, "hidden": true},
       {"class": "Probe", "alpha": 0.25}
     ]},
    {"class": "Helper", "id": "helper", "outlets": {"label": "t"}}
  ]
})";

class NibTest : public ::testing::Test {
protected:
    qmtest::GlobalStateGuard guard_;  // first made, last gone
    static void SetUpTestSuite() {
        ClassRegistry::add<Helper>("Helper");
        ClassRegistry::add<Probe>("Probe");
        ClassRegistry::add<Gauge>("Gauge");
    }
    std::optional<InterfaceContents> load(const std::string& text, Owner* owner, pf::Error* error) {
        return InterfaceLoader::loadFromText(text, "Test.json", nullptr, owner, error);
    }
    // Loads a broken document; the message must name the file and `fault`.
    void expectFault(const std::string& text, int64_t code, const std::string& fault) {
        Owner owner;
        pf::Error error;
        EXPECT_FALSE(load(text, &owner, &error)) << text;
        EXPECT_EQ(error.domain, kInterfaceFileErrorDomain);
        EXPECT_EQ(error.code, code) << error.localizedDescription();
        const std::string message = error.localizedDescription();
        EXPECT_EQ(message.rfind("Test.json: ", 0), 0u) << message;
        EXPECT_NE(message.find(fault), std::string::npos) << message;
        // Nothing of a failed file reaches the owner.
        EXPECT_FALSE(owner.root);
        EXPECT_FALSE(owner.title);
    }
};

}  // namespace

TEST_F(NibTest, ViewsPropertiesOutletsAndActions) {
    Owner owner;
    pf::Error error;
    Helper::awoken = Probe::awoken = 0;
    auto contents = load(kGood, &owner, &error);
    ASSERT_TRUE(contents) << error.localizedDescription();
    ASSERT_EQ(contents->topLevelObjects.size(), 2u);

    ASSERT_TRUE(owner.root);
    EXPECT_EQ(owner.root->frame(), Rect(0, 0, 320, 480));
    EXPECT_EQ(*owner.root->backgroundColor(), Color::rgb255(0x10, 0x20, 0x30));
    EXPECT_EQ(owner.root->autoresizingMask(), unsigned(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight));
    ASSERT_EQ(owner.root->subviews().size(), 5u);

    ASSERT_TRUE(owner.title);
    EXPECT_EQ(owner.title->text(), "Hello");
    EXPECT_EQ(owner.title->font().pointSize(), 24);
    EXPECT_TRUE(owner.title->font().isBold());
    EXPECT_EQ(owner.title->textColor(), Color::white(1, 0.5));
    EXPECT_EQ(owner.title->textAlignment(), TextAlignment::Center);
    EXPECT_EQ(owner.title->numberOfLines(), 2);
    EXPECT_EQ(owner.root->viewWithTag(7), owner.title);
    EXPECT_EQ(owner.title->superview(), owner.root);

    auto go = owner.go.lock();
    ASSERT_TRUE(go);  // the weak outlet holds while the tree holds the button
    EXPECT_EQ(go->buttonType(), Button::Type::System);
    EXPECT_EQ(go->titleForState(kControlStateNormal), "Go");
    go->sendActionsForControlEvents(kControlEventTouchUpInside);
    EXPECT_EQ(owner.calls, std::vector<std::string>{"go:"});
    EXPECT_EQ(owner.lastSender, go.get());
    go->sendActionsForControlEvents(kControlEventTouchDown);
    EXPECT_EQ(owner.calls.back(), "done");

    ASSERT_TRUE(owner.toggle);
    EXPECT_TRUE(owner.toggle->isOn());
    owner.toggle->sendActionsForControlEvents(kControlEventValueChanged);  // value controls act on a change
    EXPECT_EQ(owner.calls.back(), "toggled:");
    owner.toggle->sendActionsForControlEvents(kControlEventTouchUpInside);
    EXPECT_EQ(owner.calls.size(), 3u);

    auto slider = std::dynamic_pointer_cast<Slider>(owner.root->subviews()[3]);
    ASSERT_TRUE(slider);
    EXPECT_EQ(slider->value(), 100);
    EXPECT_EQ(slider->minimumValue(), 50);
    EXPECT_TRUE(slider->isHidden());
    EXPECT_EQ(owner.root->subviews()[4]->alpha(), 0.25);

    auto helper = std::dynamic_pointer_cast<Helper>(contents->topLevelObjects[1].object);
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->label, owner.title);
    EXPECT_TRUE(helper->awokeConnected);
    EXPECT_EQ(Helper::awoken, 1);
    EXPECT_EQ(Probe::awoken, 1);
}

TEST_F(NibTest, LoadsFromABundleAndNamesAMissingFile) {
    qmtest::TempDir dir;
    dir.write("Small.json", R"({"objects": [{"class": "Label", "outlet": "title", "text": "x"}]})");
    auto bundle = pf::Bundle::bundleWithPath(dir.path());
    ASSERT_TRUE(bundle);
    Owner owner;
    pf::Error error;
    ASSERT_TRUE(InterfaceLoader::load("Small", bundle.get(), &owner, &error)) << error.localizedDescription();
    EXPECT_EQ(owner.title->text(), "x");
    EXPECT_FALSE(InterfaceLoader::load("Nowhere", bundle.get(), &owner, &error));
    EXPECT_EQ(error.code, kInterfaceFileMissing);
    EXPECT_NE(error.localizedDescription().find("Nowhere.json"), std::string::npos);
}

TEST_F(NibTest, FaultsAreNamed) {
    expectFault("{\"objects\": [", kInterfaceFileMalformed, "line");
    expectFault("[]", kInterfaceFileMalformed, "\"objects\"");
    expectFault(R"({"objects": [], "views": []})", kInterfaceFileMalformed, "\"views\"");
    expectFault(R"({"objects": [{"outlet": "root"}]})", kInterfaceFileMalformed, "missing \"class\"");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "subviews": [{"class": "Gadget"}]}]})",
                kInterfaceFileUnknownClass,
                "objects[0] (View \"root\").subviews[0] (Gadget): unknown class \"Gadget\"");
    expectFault(R"({"objects": [{"class": "Label", "outlet": "title", "txt": "x"}]})", kInterfaceFileBadProperty,
                "(Label \"title\").txt: unknown property");
    expectFault(R"({"objects": [{"class": "Label", "outlet": "title", "frame": [0, 0, 10]}]})",
                kInterfaceFileBadProperty, "[x, y, width, height]");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "backgroundColor": "#12345"}]})",
                kInterfaceFileBadProperty, "backgroundColor");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "backgroundColor": {"red": 2}}]})",
                kInterfaceFileBadProperty, "colour");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "tag": 1.5}]})", kInterfaceFileBadProperty,
                "whole number");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "autoresizing": ["bendy"]}]})",
                kInterfaceFileBadProperty, "bendy");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root"}, {"class": "Label", "outlet": "titel"}]})",
                kInterfaceFileBadConnection, "has no outlet \"titel\"");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root"}, {"class": "Button", "outlet": "title"}]})",
                kInterfaceFileBadConnection, "outlet \"title\"");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root"}, {"class": "Button", "action": "gone:"}]})",
                kInterfaceFileBadConnection, "no action \"gone:\"");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root"}, {"class": "Label", "action": "go:"}]})",
                kInterfaceFileBadConnection, "only a control");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "id": "a"}, {"class": "View", "id": "a"}]})",
                kInterfaceFileMalformed, "duplicate id \"a\"");
    expectFault(
        R"({"objects": [{"class": "View", "outlet": "root"}, {"class": "Helper", "outlets": {"label": "zz"}}]})",
        kInterfaceFileBadConnection, "no object has the id \"zz\"");
    expectFault(R"({"objects": [{"class": "View", "outlet": "root", "subviews": [{"class": "Helper"}]}]})",
                kInterfaceFileMalformed, "a subview must be a view");
    expectFault(
        R"({"objects": [{"class": "View", "outlet": "root"}, {"class": "Button", "action": "go:", "actions": [{"selector": "go:", "event": "tap"}]}]})",
        kInterfaceFileMalformed, "unknown event \"tap\"");
}

TEST_F(NibTest, AClassOfItsOwnSetsItsPropertiesInItsOrderAfterItsBases) {
    auto contents =
        load(R"({"objects": [{"class": "Gauge", "level": 5, "span": 10, "alpha": 0.5}]})", nullptr, nullptr);
    ASSERT_TRUE(contents);
    auto gauge = std::dynamic_pointer_cast<Gauge>(contents->topLevelObjects[0].view);
    ASSERT_TRUE(gauge);
    EXPECT_EQ(gauge->span, 10);
    EXPECT_EQ(gauge->level, 5);
    EXPECT_EQ(gauge->alpha(), 0.5);
    expectFault(R"({"objects": [{"class": "Gauge", "level": "full"}]})", kInterfaceFileBadProperty,
                "(Gauge).level: expected a number");
    expectFault(R"({"objects": [{"class": "Gauge", "text": "x"}]})", kInterfaceFileBadProperty,
                "(Gauge).text: unknown property for this class");
}

TEST_F(NibTest, WindowCoversTheScreen) {
    Screen::resetMain();
    Screen::main().configure(DeviceProfile::forIdentifier("iPhone7,1"));
    auto contents =
        InterfaceLoader::loadFromText(R"({"objects": [{"class": "Window"}]})", "W.json", nullptr, nullptr, nullptr);
    ASSERT_TRUE(contents);
    auto window = std::dynamic_pointer_cast<Window>(contents->topLevelObjects[0].view);
    ASSERT_TRUE(window);
    EXPECT_EQ(window->bounds().size, Size({414, 736}));
    EXPECT_EQ(window->scale(), 3);
    Screen::resetMain();
}

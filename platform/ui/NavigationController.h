#pragma once
// A navigation controller: a stack of controllers whose top one fills the area
// under a navigation bar. The bar shows the top controller's navigation item
// (title, left and right bar button items, or a back button to the previous
// one). The stack's controllers get their appearance callbacks as they are
// pushed, popped, or as the navigation controller itself appears.
//
// Containment lives here: a controller knows its container through
// parentViewController(), which tab bar controllers use too.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Appearance.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

class BarButtonItem {
public:
    enum class SystemItem { Done, Cancel, Edit, Save, Add };
    enum class Style { Plain, Bordered, Done };

    BarButtonItem(std::string title, Style style, std::function<void()> action);
    BarButtonItem(SystemItem item, std::function<void()> action);

    const std::string& title() const { return title_; }
    void setTitle(const std::string& t) { title_ = t; }
    Style style() const { return style_; }
    std::optional<SystemItem> systemItem() const { return system_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e) { enabled_ = e; }
    // What a tap does (the target/action pair).
    void trigger() const;

private:
    std::string title_;
    Style style_ = Style::Plain;
    std::optional<SystemItem> system_;
    std::function<void()> action_;
    bool enabled_ = true;
};

class NavigationItem {
public:
    const std::string& title() const { return title_; }
    void setTitle(const std::string& t) { title_ = t; }
    std::shared_ptr<BarButtonItem> leftBarButtonItem() const { return left_; }
    void setLeftBarButtonItem(std::shared_ptr<BarButtonItem> item) { left_ = std::move(item); }
    std::shared_ptr<BarButtonItem> rightBarButtonItem() const { return right_; }
    void setRightBarButtonItem(std::shared_ptr<BarButtonItem> item) { right_ = std::move(item); }
    bool hidesBackButton() const { return hidesBack_; }
    void setHidesBackButton(bool h) { hidesBack_ = h; }

private:
    std::string title_;
    std::shared_ptr<BarButtonItem> left_, right_;
    bool hidesBack_ = false;
};

enum class BarStyle { Default, Black };

// The bar: a strip under the status bar with the item's title in the middle
// and its buttons at the sides. Colours come from the instance, else from the
// NavigationBar appearance, else the platform's.
class NavigationBar : public View {
public:
    static constexpr double kStatusBarHeight = 20;
    static constexpr double kBarHeight = 44;

    explicit NavigationBar(const Rect& frame = {});

    BarStyle barStyle() const { return style_; }
    void setBarStyle(BarStyle s);
    std::optional<Color> barTintColor() const;
    void setBarTintColor(std::optional<Color> c);
    TextAttributes titleTextAttributes() const;
    void setTitleTextAttributes(std::optional<TextAttributes> a);

    // Shows `item`; `backTitle` non-empty adds a back button when the item has
    // no left button of its own.
    void showItem(std::shared_ptr<NavigationItem> item, const std::string& backTitle, std::function<void()> back);
    std::shared_ptr<NavigationItem> topItem() const { return item_; }

    std::shared_ptr<Label> titleLabel() const { return title_; }
    // The buttons on screen (null when absent); the left one may be the back button.
    std::shared_ptr<Button> leftButton() const { return leftButton_; }
    std::shared_ptr<Button> rightButton() const { return rightButton_; }

    void layoutSubviews() override;
    void drawRect(Context& ctx, const Rect& rect) override;
    void tintColorDidChange() override { refresh(); }

private:
    void refresh();
    std::shared_ptr<Button> makeButton(const BarButtonItem* item, const std::string& title, std::function<void()> fn);
    BarStyle style_ = BarStyle::Default;
    std::optional<Color> barTint_;
    std::optional<TextAttributes> titleAttributes_;
    std::shared_ptr<NavigationItem> item_;
    std::string backTitle_;
    std::function<void()> back_;
    std::shared_ptr<Label> title_;
    std::shared_ptr<Button> leftButton_, rightButton_;
};

class NavigationController : public ViewController {
public:
    // Seconds of an animated push or pop.
    static constexpr double kPushDuration = 0.35;

    explicit NavigationController(std::shared_ptr<ViewController> root = nullptr);
    ~NavigationController() override;

    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }
    void setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated);
    std::shared_ptr<ViewController> topViewController() const;
    // What is on screen: the top controller, or what it presents.
    std::shared_ptr<ViewController> visibleViewController() const;

    // Pushing a controller that is already in a container raises
    // NSInvalidArgumentException, as on the platform.
    void pushViewController(std::shared_ptr<ViewController> vc, bool animated);
    // Null when only the root is left.
    std::shared_ptr<ViewController> popViewControllerAnimated(bool animated);
    std::vector<std::shared_ptr<ViewController>> popToRootViewControllerAnimated(bool animated);
    std::vector<std::shared_ptr<ViewController>> popToViewController(const ViewController* vc, bool animated);

    std::shared_ptr<NavigationBar> navigationBar();
    bool isNavigationBarHidden() const { return barHidden_; }
    void setNavigationBarHidden(bool hidden, bool animated = false);

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override;
    StatusBarStyle preferredStatusBarStyle() const override;

    // The area the top controller's view fills, in this controller's view.
    Rect contentFrame();

private:
    void transition(std::shared_ptr<ViewController> from, std::shared_ptr<ViewController> to, int direction,
                    bool animated);
    void refreshBar();
    bool onScreen() const;
    std::vector<std::shared_ptr<ViewController>> stack_;
    std::shared_ptr<NavigationBar> bar_;
    bool barHidden_ = false;
};

// The container a controller was put in (navigation or tab bar controller), or null.
std::shared_ptr<ViewController> parentViewController(const ViewController& controller);
// Used by containers as they adopt and release children.
void setParentViewController(const ViewController& child, const std::shared_ptr<ViewController>& parent);
// The nearest navigation controller among the controller's containers, or null.
std::shared_ptr<NavigationController> navigationController(const ViewController& controller);
// The item a controller shows in a navigation bar; made on first ask.
std::shared_ptr<NavigationItem> navigationItem(const ViewController& controller);

}  // namespace platform::ui

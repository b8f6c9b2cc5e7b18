#pragma once
// A tab bar controller: a bar of items along the bottom, one per controller,
// and the selected controller's view above it. Selecting an item (a tap, or
// setSelectedIndex) swaps the views with the appearance callbacks. The bar's
// colours come from the instance, else the TabBar and TabBarItem appearance.
#include <functional>
#include <memory>
#include <vector>

#include "platform/ui/Appearance.h"
#include "platform/ui/TabBarItem.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

class TabBarController;

class TabBarControllerDelegate {
public:
    virtual ~TabBarControllerDelegate() = default;
    virtual bool shouldSelectViewController(TabBarController&, ViewController&) { return true; }
    virtual void didSelectViewController(TabBarController&, ViewController&) {}
};

class TabBar : public View {
public:
    static constexpr double kHeight = 49;

    explicit TabBar(const Rect& frame = {});

    const std::vector<std::shared_ptr<TabBarItem>>& items() const { return items_; }
    void setItems(std::vector<std::shared_ptr<TabBarItem>> items);
    int64_t selectedIndex() const { return selected_; }
    void setSelectedIndex(int64_t index);

    std::optional<Color> barTintColor() const;
    void setBarTintColor(std::optional<Color> c);
    Color selectedImageTintColor() const;
    void setSelectedImageTintColor(std::optional<Color> c);
    // The appearance's when not set on the bar; null: none.
    std::shared_ptr<Image> selectionIndicatorImage() const;
    void setSelectionIndicatorImage(std::shared_ptr<Image> image);

    // The rectangle of item `index` in the bar.
    Rect itemRect(size_t index) const;
    // Told of a tap on an item.
    std::function<void(size_t index)> onTap;

    void drawRect(Context& ctx, const Rect& rect) override;
    void touchesEnded(const TouchSet& touches, const Event* event) override;
    void touchesBegan(const TouchSet&, const Event*) override {}
    void touchesMoved(const TouchSet&, const Event*) override {}
    void touchesCancelled(const TouchSet&, const Event*) override {}

private:
    std::vector<std::shared_ptr<TabBarItem>> items_;
    int64_t selected_ = -1;
    std::optional<Color> barTint_, selectedImageTint_;
    std::optional<std::shared_ptr<Image>> indicator_;
};

class TabBarController : public ViewController {
public:
    TabBarController() = default;
    ~TabBarController() override;

    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return controllers_; }
    // Adopts the controllers; the bar shows their tabBarItem()s. The selection
    // stays on the same index when it can, else the first.
    void setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated = false);
    int64_t selectedIndex() const { return selected_; }
    // An index out of range is ignored; the delegate is not asked.
    void setSelectedIndex(int64_t index);
    std::shared_ptr<ViewController> selectedViewController() const;
    void setSelectedViewController(const std::shared_ptr<ViewController>& vc);

    std::shared_ptr<TabBar> tabBar();
    TabBarControllerDelegate* delegate() const { return delegate_; }
    void setDelegate(TabBarControllerDelegate* d) { delegate_ = d; }

    // A tap on item `index`: asks the delegate, selects, tells it.
    void tapItem(size_t index);

    void loadView() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override;

private:
    void show(int64_t index);
    Rect contentFrame();
    std::vector<std::shared_ptr<ViewController>> controllers_;
    int64_t selected_ = -1;
    std::shared_ptr<TabBar> bar_;
    TabBarControllerDelegate* delegate_ = nullptr;
};

// The nearest tab bar controller among the controller's containers, or null.
std::shared_ptr<TabBarController> tabBarController(const ViewController& controller);

}  // namespace platform::ui

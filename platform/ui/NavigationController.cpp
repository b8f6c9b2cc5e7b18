#include "platform/ui/NavigationController.h"

#include <algorithm>
#include <map>

#include "platform/foundation/Exception.h"
#include "platform/ui/Control.h"

namespace platform::ui {

namespace {

template <class T>
struct Entry {
    std::weak_ptr<const ViewController> owner;  // tells a live controller from a new one at the same address
    T value;
};

template <class T>
class SideTable {
public:
    T* find(const ViewController& vc) {
        auto it = map_.find(&vc);
        if (it == map_.end() || it->second.owner.lock().get() != &vc) return nullptr;
        return &it->second.value;
    }
    void set(const ViewController& vc, T value) {
        for (auto it = map_.begin(); it != map_.end();)
            it = it->second.owner.expired() ? map_.erase(it) : std::next(it);
        map_[&vc] = Entry<T>{vc.weak_from_this(), std::move(value)};
    }
    void erase(const ViewController& vc) { map_.erase(&vc); }

private:
    std::map<const ViewController*, Entry<T>> map_;
};

// Never destroyed: containers that outlive static destruction (held by the
// window registry) still release their children through them.
SideTable<std::weak_ptr<ViewController>>& parents() {
    static auto* t = new SideTable<std::weak_ptr<ViewController>>;
    return *t;
}
SideTable<std::shared_ptr<NavigationItem>>& navItems() {
    static auto* t = new SideTable<std::shared_ptr<NavigationItem>>;
    return *t;
}

const char* systemTitle(BarButtonItem::SystemItem item) {
    switch (item) {
    case BarButtonItem::SystemItem::Done: return "Done";
    case BarButtonItem::SystemItem::Cancel: return "Cancel";
    case BarButtonItem::SystemItem::Edit: return "Edit";
    case BarButtonItem::SystemItem::Save: return "Save";
    case BarButtonItem::SystemItem::Add: return "+";
    }
    return "";
}

}  // namespace

// ---- containment

std::shared_ptr<ViewController> parentViewController(const ViewController& controller) {
    auto* p = parents().find(controller);
    return p ? p->lock() : nullptr;
}

void setParentViewController(const ViewController& child, const std::shared_ptr<ViewController>& parent) {
    if (parent)
        parents().set(child, parent);
    else
        parents().erase(child);
}

std::shared_ptr<NavigationController> navigationController(const ViewController& controller) {
    for (auto p = parentViewController(controller); p; p = parentViewController(*p))
        if (auto nav = std::dynamic_pointer_cast<NavigationController>(p)) return nav;
    return nullptr;
}

std::shared_ptr<NavigationItem> navigationItem(const ViewController& controller) {
    if (auto* item = navItems().find(controller)) return *item;
    auto item = std::make_shared<NavigationItem>();
    navItems().set(controller, item);
    return item;
}

// ---- bar button item

BarButtonItem::BarButtonItem(std::string title, Style style, std::function<void()> action)
    : title_(std::move(title)), style_(style), action_(std::move(action)) {}

BarButtonItem::BarButtonItem(SystemItem item, std::function<void()> action)
    : title_(systemTitle(item)), style_(item == SystemItem::Done ? Style::Done : Style::Bordered), system_(item),
      action_(std::move(action)) {}

void BarButtonItem::trigger() const {
    if (enabled_ && action_) action_();
}

// ---- bar

NavigationBar::NavigationBar(const Rect& frame) : View(frame) {
    auto& look = Appearance::forClass(Appearance::kNavigationBar);
    if (auto t = look.tintColor()) setTintColor(*t);
    title_ = std::make_shared<Label>();
    title_->setTextAlignment(TextAlignment::Center);
    title_->setFont(Font::boldSystemFont(17));
    addSubview(title_);
    setAutoresizingMask(kAutoresizingFlexibleWidth);
    refresh();
}

void NavigationBar::setBarStyle(BarStyle s) {
    style_ = s;
    refresh();
}

std::optional<Color> NavigationBar::barTintColor() const {
    if (barTint_) return barTint_;
    return Appearance::forClass(Appearance::kNavigationBar).barTintColor();
}

void NavigationBar::setBarTintColor(std::optional<Color> c) {
    barTint_ = c;
    refresh();
}

TextAttributes NavigationBar::titleTextAttributes() const {
    if (titleAttributes_) return *titleAttributes_;
    return Appearance::forClass(Appearance::kNavigationBar)
        .titleTextAttributes(kControlStateNormal)
        .value_or(TextAttributes{});
}

void NavigationBar::setTitleTextAttributes(std::optional<TextAttributes> a) {
    titleAttributes_ = std::move(a);
    refresh();
}

void NavigationBar::showItem(std::shared_ptr<NavigationItem> item, const std::string& backTitle,
                             std::function<void()> back) {
    item_ = std::move(item);
    backTitle_ = backTitle;
    back_ = std::move(back);
    refresh();
}

std::shared_ptr<Button> NavigationBar::makeButton(const BarButtonItem* item, const std::string& title,
                                                  std::function<void()> fn) {
    auto b = std::make_shared<Button>(Rect{}, Button::Type::System);
    b->setTitle(title);
    // Bar button titles: the item class's attributes, else the bar's tint.
    std::optional<Color> color;
    for (const char* cls : {Appearance::kBarButtonItem, Appearance::kBarItem})
        if (!color)
            if (auto a = Appearance::forClass(cls).titleTextAttributes(kControlStateNormal)) color = a->foregroundColor;
    b->setTitleColor(color.value_or(tintColor()));
    b->titleLabel()->setFont(item && item->style() == BarButtonItem::Style::Done ? Font::boldSystemFont(17)
                                                                                 : Font::systemFont(17));
    b->setEnabled(!item || item->isEnabled());
    b->addTarget(
        this, [fn](Control&, const Event*) { fn(); }, kControlEventTouchUpInside);
    return b;
}

void NavigationBar::refresh() {
    if (!title_) return;
    const bool dark = style_ == BarStyle::Black;
    auto attrs = titleTextAttributes();
    title_->setTextColor(attrs.foregroundColor.value_or(dark ? Color::whiteColor() : Color::black()));
    if (attrs.font) title_->setFont(*attrs.font);
    title_->setText(item_ ? item_->title() : "");
    for (auto* b : {&leftButton_, &rightButton_})
        if (*b) {
            (*b)->removeFromSuperview();
            b->reset();
        }
    if (item_) {
        if (auto left = item_->leftBarButtonItem()) {
            std::weak_ptr<BarButtonItem> weak = left;
            leftButton_ = makeButton(left.get(), left->title(), [weak] {
                if (auto i = weak.lock()) i->trigger();
            });
        } else if (!backTitle_.empty() && !item_->hidesBackButton()) {
            leftButton_ = makeButton(nullptr, "< " + backTitle_, [this] {
                if (back_) back_();
            });
        }
        if (auto right = item_->rightBarButtonItem()) {
            std::weak_ptr<BarButtonItem> weak = right;
            rightButton_ = makeButton(right.get(), right->title(), [weak] {
                if (auto i = weak.lock()) i->trigger();
            });
        }
    }
    for (auto& b : {leftButton_, rightButton_})
        if (b) addSubview(b);
    setNeedsLayout();
    setNeedsDisplay();
}

void NavigationBar::layoutSubviews() {
    const Rect b = bounds();
    const double top = b.height() - kBarHeight;
    double sideWidth = 0;
    if (leftButton_) {
        Size s = leftButton_->sizeThatFits({b.width() / 3, kBarHeight});
        s.width = std::min(s.width + 8, b.width() / 3);
        leftButton_->setFrame({8, top, s.width, kBarHeight});
        sideWidth = std::max(sideWidth, s.width + 8);
    }
    if (rightButton_) {
        Size s = rightButton_->sizeThatFits({b.width() / 3, kBarHeight});
        s.width = std::min(s.width + 8, b.width() / 3);
        rightButton_->setFrame({b.width() - 8 - s.width, top, s.width, kBarHeight});
        sideWidth = std::max(sideWidth, s.width + 8);
    }
    title_->setFrame({sideWidth + 4, top, b.width() - 2 * (sideWidth + 4), kBarHeight});
}

void NavigationBar::drawRect(Context& ctx, const Rect&) {
    const Rect b = bounds();
    Color fill = style_ == BarStyle::Black ? Color::white(0.1) : Color::white(0.97);
    if (auto t = barTintColor()) fill = *t;
    ctx.setFillColor(fill);
    ctx.fillRect(b);
    // The hairline under the bar.
    ctx.setFillColor(Color::white(0, 0.3));
    ctx.fillRect({b.x(), b.maxY() - 0.5, b.width(), 0.5});
}

// ---- controller

NavigationController::NavigationController(std::shared_ptr<ViewController> root) {
    if (root) stack_.push_back(std::move(root));
}

NavigationController::~NavigationController() {
    for (auto& vc : stack_) setParentViewController(*vc, nullptr);
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
    return stack_.empty() ? nullptr : stack_.back();
}

std::shared_ptr<ViewController> NavigationController::visibleViewController() const {
    auto top = topViewController();
    if (!top) return nullptr;
    auto vc = top;
    while (auto p = vc->presentedViewController()) vc = p;
    return vc;
}

std::shared_ptr<NavigationBar> NavigationController::navigationBar() {
    view();
    return bar_;
}

bool NavigationController::onScreen() const { return isAppeared(); }

void NavigationController::loadView() {
    auto v = std::make_shared<View>(Screen::main().bounds());
    v->setBackgroundColor(Color::whiteColor());
    bar_ = std::make_shared<NavigationBar>(
        Rect{0, 0, v->bounds().width(), NavigationBar::kStatusBarHeight + NavigationBar::kBarHeight});
    bar_->setHidden(barHidden_);  // hidden before the view existed
    v->addSubview(bar_);
    setView(v);
    // The root (the stack as set before the view existed) is adopted now.
    for (auto& vc : stack_) setParentViewController(*vc, shared_from_this());
    if (auto top = topViewController()) {
        auto tv = top->view();
        tv->setFrame(contentFrame());
        tv->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
        v->insertSubviewBelow(tv, bar_.get());
    }
    refreshBar();
}

Rect NavigationController::contentFrame() {
    const Rect b = view()->bounds();
    const double top = barHidden_ ? 0 : NavigationBar::kStatusBarHeight + NavigationBar::kBarHeight;
    return {0, top, b.width(), std::max(0.0, b.height() - top)};
}

void NavigationController::setNavigationBarHidden(bool hidden, bool) {
    barHidden_ = hidden;
    if (!isViewLoaded()) return;
    bar_->setHidden(hidden);
    if (auto top = topViewController()) top->view()->setFrame(contentFrame());
}

void NavigationController::refreshBar() {
    if (!bar_) return;
    auto top = topViewController();
    if (!top) {
        bar_->showItem(nullptr, "", nullptr);
        return;
    }
    std::string back;
    if (stack_.size() > 1) {
        back = navigationItem(*stack_[stack_.size() - 2])->title();
        if (back.empty()) back = "Back";
    }
    std::weak_ptr<ViewController> weak = weak_from_this();
    bar_->showItem(navigationItem(*top), back, [weak] {
        if (auto self = std::dynamic_pointer_cast<NavigationController>(weak.lock()))
            self->popViewControllerAnimated(true);
    });
}

void NavigationController::transition(std::shared_ptr<ViewController> from, std::shared_ptr<ViewController> to,
                                      int direction, bool animated) {
    if (!isViewLoaded()) {
        refreshBar();
        return;
    }
    auto container = view();
    const bool appear = onScreen();
    animated = animated && appear && View::areAnimationsEnabled() && from && to && from != to;
    if (to) {
        auto tv = to->view();
        tv->setFrame(contentFrame());
        tv->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    }
    if (appear) {
        if (from && from != to) from->beginAppearanceTransition(false, animated);
        if (to && from != to) to->beginAppearanceTransition(true, animated);
    }
    refreshBar();
    auto finish = [from, to, appear] {
        if (from && from != to) {
            from->view()->removeFromSuperview();
            from->view()->setTransform(AffineTransform::identity());
            if (appear) from->endAppearanceTransition();
        }
        if (to && appear && from != to) to->endAppearanceTransition();
    };
    if (to && !to->view()->superview()) container->insertSubviewBelow(to->view(), bar_.get());
    if (!animated) {
        finish();
        return;
    }
    const double w = container->bounds().width();
    View::performWithoutAnimation([&] { to->view()->setTransform(AffineTransform::translation(direction * w, 0)); });
    auto fv = from->view(), tv = to->view();
    View::animate(
        kPushDuration, 0, kAnimationOptionCurveEaseInOut,
        [fv, tv, direction, w] {
            fv->setTransform(AffineTransform::translation(-direction * w / 3, 0));
            tv->setTransform(AffineTransform::identity());
        },
        [finish](bool) { finish(); });
}

void NavigationController::pushViewController(std::shared_ptr<ViewController> vc, bool animated) {
    if (!vc) foundation::Exception::raise(foundation::kInvalidArgumentException, "Cannot push a null view controller");
    if (parentViewController(*vc) || std::find(stack_.begin(), stack_.end(), vc) != stack_.end())
        foundation::Exception::raise(foundation::kInvalidArgumentException,
                                     "Pushing a view controller that is already in a container is not supported");
    auto from = topViewController();
    stack_.push_back(vc);
    setParentViewController(*vc, shared_from_this());
    transition(from, vc, 1, animated);
}

std::shared_ptr<ViewController> NavigationController::popViewControllerAnimated(bool animated) {
    if (stack_.size() < 2) return nullptr;
    auto popped = popToViewController(stack_[stack_.size() - 2].get(), animated);
    return popped.empty() ? nullptr : popped.back();
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToRootViewControllerAnimated(bool animated) {
    if (stack_.empty()) return {};
    return popToViewController(stack_.front().get(), animated);
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToViewController(const ViewController* vc,
                                                                                       bool animated) {
    auto it = std::find_if(stack_.begin(), stack_.end(), [vc](const auto& p) { return p.get() == vc; });
    if (it == stack_.end() || it + 1 == stack_.end()) return {};
    auto from = topViewController();
    std::vector<std::shared_ptr<ViewController>> popped(it + 1, stack_.end());
    stack_.erase(it + 1, stack_.end());
    // The ones between leave without being seen.
    for (auto& p : popped) {
        setParentViewController(*p, nullptr);
        if (p != from && p->isViewLoaded()) p->view()->removeFromSuperview();
    }
    transition(from, topViewController(), -1, animated);
    return popped;
}

void NavigationController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated) {
    auto from = topViewController();
    for (auto& p : stack_)
        if (std::find(controllers.begin(), controllers.end(), p) == controllers.end()) {
            setParentViewController(*p, nullptr);
            if (p != from && p->isViewLoaded()) p->view()->removeFromSuperview();
        }
    stack_ = std::move(controllers);
    if (isViewLoaded())
        for (auto& p : stack_) setParentViewController(*p, shared_from_this());
    transition(from, topViewController(), 1, animated);
}

void NavigationController::viewWillAppear(bool animated) {
    if (auto top = topViewController()) top->beginAppearanceTransition(true, animated);
}
void NavigationController::viewDidAppear(bool) {
    if (auto top = topViewController()) top->endAppearanceTransition();
}
void NavigationController::viewWillDisappear(bool animated) {
    if (auto top = topViewController()) top->beginAppearanceTransition(false, animated);
}
void NavigationController::viewDidDisappear(bool) {
    if (auto top = topViewController()) top->endAppearanceTransition();
}

bool NavigationController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
    auto top = topViewController();
    return top ? top->shouldAutorotateToInterfaceOrientation(o) : o == InterfaceOrientation::Portrait;
}

StatusBarStyle NavigationController::preferredStatusBarStyle() const {
    auto top = topViewController();
    return top ? top->preferredStatusBarStyle() : StatusBarStyle::Default;
}

}  // namespace platform::ui

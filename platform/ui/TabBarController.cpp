#include "platform/ui/TabBarController.h"

#include <algorithm>

#include "platform/ui/Control.h"
#include "platform/ui/NavigationController.h"

namespace platform::ui {

std::shared_ptr<TabBarController> tabBarController(const ViewController& controller) {
    for (auto p = parentViewController(controller); p; p = parentViewController(*p))
        if (auto tab = std::dynamic_pointer_cast<TabBarController>(p)) return tab;
    return nullptr;
}

// ---- bar

TabBar::TabBar(const Rect& frame) : View(frame) {
    auto& look = Appearance::forClass(Appearance::kTabBar);
    if (auto t = look.tintColor()) setTintColor(*t);
    if (auto bg = look.backgroundColor()) setBackgroundColor(*bg);
    setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleTopMargin);
}

void TabBar::setItems(std::vector<std::shared_ptr<TabBarItem>> items) {
    items_ = std::move(items);
    if (selected_ >= int64_t(items_.size())) selected_ = items_.empty() ? -1 : 0;
    setNeedsDisplay();
}

void TabBar::setSelectedIndex(int64_t index) {
    selected_ = index;
    setNeedsDisplay();
}

std::optional<Color> TabBar::barTintColor() const {
    return barTint_ ? barTint_ : Appearance::forClass(Appearance::kTabBar).barTintColor();
}
void TabBar::setBarTintColor(std::optional<Color> c) {
    barTint_ = c;
    setNeedsDisplay();
}
Color TabBar::selectedImageTintColor() const {
    if (selectedImageTint_) return *selectedImageTint_;
    return Appearance::forClass(Appearance::kTabBar).selectedImageTintColor().value_or(tintColor());
}
void TabBar::setSelectedImageTintColor(std::optional<Color> c) {
    selectedImageTint_ = c;
    setNeedsDisplay();
}
std::shared_ptr<Image> TabBar::selectionIndicatorImage() const {
    if (indicator_) return *indicator_;
    return Appearance::forClass(Appearance::kTabBar).selectionIndicatorImage().value_or(nullptr);
}
void TabBar::setSelectionIndicatorImage(std::shared_ptr<Image> image) {
    indicator_ = std::move(image);
    setNeedsDisplay();
}

Rect TabBar::itemRect(size_t index) const {
    const Rect b = bounds();
    if (items_.empty()) return {};
    const double w = b.width() / double(items_.size());
    return {b.x() + w * double(index), b.y(), w, b.height()};
}

void TabBar::drawRect(Context& ctx, const Rect&) {
    const Rect b = bounds();
    // The bar tint over the background colour (the background shows where the tint is translucent).
    if (auto bg = backgroundColor(); !bg) ctx.setFillColor(Color::white(0.97)), ctx.fillRect(b);
    if (auto t = barTintColor()) ctx.setFillColor(*t), ctx.fillRect(b);
    auto shadow = Appearance::forClass(Appearance::kTabBar).shadowImage();
    if (!shadow) {  // the platform's hairline, unless an image (or none) replaces it
        ctx.setFillColor(Color::white(0, 0.3));
        ctx.fillRect({b.x(), b.y(), b.width(), 0.5});
    } else if (*shadow) {
        ctx.drawImage(**shadow, {b.x(), b.y(), b.width(), (*shadow)->size().height});
    }
    auto itemLook = Appearance::forClass(Appearance::kTabBarItem);
    for (size_t i = 0; i < items_.size(); ++i) {
        const auto& item = items_[i];
        const Rect r = itemRect(i);
        const bool sel = int64_t(i) == selected_;
        if (sel)
            if (auto ind = selectionIndicatorImage())
                ctx.drawImage(*ind, {r.midX() - ind->size().width / 2, r.y(), ind->size().width, r.height()});
        auto image = sel ? item->selectedImage() : item->image();
        if (image) {
            Size s = image->size();
            const double scale = std::min({1.0, 30 / std::max(s.width, 1.0), 30 / std::max(s.height, 1.0)});
            s = {s.width * scale, s.height * scale};
            const Rect ir{r.midX() - s.width / 2, r.y() + 4 + (30 - s.height) / 2, s.width, s.height};
            if (item->keepsOriginalColors()) {
                ctx.drawImage(*image, ir);
            } else {
                // A template: its alpha masks the tint (the mask is laid bottom-up, so flip).
                ctx.save();
                ctx.translate(0, ir.minY() + ir.maxY());
                ctx.scaleBy(1, -1);
                ctx.clipToMask(ir, *image);
                ctx.setFillColor(sel ? selectedImageTintColor() : Color::white(0.57));
                ctx.fillRect(ir);
                ctx.restore();
            }
        }
        auto attrs = itemLook.titleTextAttributes(sel ? kControlStateSelected : kControlStateNormal);
        if (!attrs) attrs = itemLook.titleTextAttributes(kControlStateNormal);
        Color color = sel ? tintColor() : Color::white(0.57);
        if (attrs && attrs->foregroundColor) color = *attrs->foregroundColor;
        Font font = attrs && attrs->font ? *attrs->font : Font::systemFont(10);
        ctx.drawText(item->title(), {r.x(), r.maxY() - font.lineHeight() - 2, r.width(), font.lineHeight() + 2}, font,
                     color, TextAlignment::Center, 1, LineBreakMode::TruncateTail);
        if (!item->badgeValue().empty()) {
            Font bf = Font::systemFont(11);
            Size ts = bf.sizeOfText(item->badgeValue());
            Rect br{r.midX() + 6, r.y() + 2, std::max(18.0, ts.width + 10), 18};
            ctx.setFillColor(Color::rgba(1, 0.23, 0.19));
            ctx.fillEllipseInRect(br);
            ctx.drawText(item->badgeValue(), br.offsetBy(0, (18 - ts.height) / 2), bf, Color::whiteColor(),
                         TextAlignment::Center, 1);
        }
    }
}

void TabBar::touchesEnded(const TouchSet& touches, const Event*) {
    if (touches.empty() || items_.empty()) return;
    const Point p = (*touches.begin())->locationInView(this);
    if (!pointInside(p, nullptr)) return;
    const size_t i =
        std::min(items_.size() - 1, size_t(std::max(0.0, p.x / (bounds().width() / double(items_.size())))));
    if (items_[i]->isEnabled() && onTap) onTap(i);
}

// ---- controller

TabBarController::~TabBarController() {
    for (auto& vc : controllers_) setParentViewController(*vc, nullptr);
}

std::shared_ptr<TabBar> TabBarController::tabBar() {
    view();
    return bar_;
}

void TabBarController::loadView() {
    auto v = std::make_shared<View>(Screen::main().bounds());
    v->setBackgroundColor(Color::whiteColor());
    const Rect b = v->bounds();
    bar_ = std::make_shared<TabBar>(Rect{0, b.height() - TabBar::kHeight, b.width(), TabBar::kHeight});
    std::weak_ptr<ViewController> weak = weak_from_this();
    bar_->onTap = [weak](size_t i) {
        if (auto self = std::dynamic_pointer_cast<TabBarController>(weak.lock())) self->tapItem(i);
    };
    v->addSubview(bar_);
    setView(v);
    std::vector<std::shared_ptr<TabBarItem>> items;
    for (auto& vc : controllers_) items.push_back(tabBarItem(*vc));
    bar_->setItems(items);
    bar_->setSelectedIndex(selected_);
    if (auto sel = selectedViewController()) {
        sel->view()->setFrame(contentFrame());
        sel->view()->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
        v->insertSubviewBelow(sel->view(), bar_.get());
    }
}

Rect TabBarController::contentFrame() {
    const Rect b = view()->bounds();
    return {0, 0, b.width(), std::max(0.0, b.height() - TabBar::kHeight)};
}

void TabBarController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool) {
    auto old = selectedViewController();
    for (auto& vc : controllers_) setParentViewController(*vc, nullptr);
    controllers_ = std::move(controllers);
    for (auto& vc : controllers_) setParentViewController(*vc, shared_from_this());
    int64_t index = selected_;
    if (index < 0 || index >= int64_t(controllers_.size())) index = controllers_.empty() ? -1 : 0;
    if (isViewLoaded()) {
        std::vector<std::shared_ptr<TabBarItem>> items;
        for (auto& vc : controllers_) items.push_back(tabBarItem(*vc));
        bar_->setItems(items);
    }
    auto now = index >= 0 ? controllers_[size_t(index)] : nullptr;
    if (old && old != now) {
        if (isAppeared()) old->beginAppearanceTransition(false, false);
        if (old->isViewLoaded()) old->view()->removeFromSuperview();
        if (isAppeared()) old->endAppearanceTransition();
    }
    selected_ = -1;
    show(index);
}

std::shared_ptr<ViewController> TabBarController::selectedViewController() const {
    if (selected_ < 0 || selected_ >= int64_t(controllers_.size())) return nullptr;
    return controllers_[size_t(selected_)];
}

void TabBarController::setSelectedIndex(int64_t index) {
    if (index < 0 || index >= int64_t(controllers_.size())) return;
    show(index);
}

void TabBarController::setSelectedViewController(const std::shared_ptr<ViewController>& vc) {
    auto it = std::find(controllers_.begin(), controllers_.end(), vc);
    if (it != controllers_.end()) show(it - controllers_.begin());
}

void TabBarController::tapItem(size_t index) {
    if (index >= controllers_.size()) return;
    auto vc = controllers_[index];
    if (delegate_ && !delegate_->shouldSelectViewController(*this, *vc)) return;
    show(int64_t(index));
    if (delegate_) delegate_->didSelectViewController(*this, *vc);
}

void TabBarController::show(int64_t index) {
    if (index == selected_) return;
    auto from = selectedViewController();
    selected_ = index;
    auto to = selectedViewController();
    if (!isViewLoaded()) return;
    bar_->setSelectedIndex(index);
    const bool appear = isAppeared();
    if (from) {
        if (appear) from->beginAppearanceTransition(false, false);
        from->view()->removeFromSuperview();
        if (appear) from->endAppearanceTransition();
    }
    if (to) {
        if (appear) to->beginAppearanceTransition(true, false);
        to->view()->setFrame(contentFrame());
        to->view()->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
        view()->insertSubviewBelow(to->view(), bar_.get());
        if (appear) to->endAppearanceTransition();
    }
}

void TabBarController::viewWillAppear(bool animated) {
    if (auto sel = selectedViewController()) sel->beginAppearanceTransition(true, animated);
}
void TabBarController::viewDidAppear(bool) {
    if (auto sel = selectedViewController()) sel->endAppearanceTransition();
}
void TabBarController::viewWillDisappear(bool animated) {
    if (auto sel = selectedViewController()) sel->beginAppearanceTransition(false, animated);
}
void TabBarController::viewDidDisappear(bool) {
    if (auto sel = selectedViewController()) sel->endAppearanceTransition();
}

bool TabBarController::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
    for (auto& vc : controllers_)
        if (!vc->shouldAutorotateToInterfaceOrientation(o)) return false;
    return o == InterfaceOrientation::Portrait || !controllers_.empty();
}

}  // namespace platform::ui

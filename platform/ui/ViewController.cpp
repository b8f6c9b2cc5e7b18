#include "platform/ui/ViewController.h"

#include <map>

#include "platform/foundation/Exception.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/ui/InterfaceLoader.h"
#include "platform/ui/NotificationNames.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

namespace platform::ui {

namespace {

// A transform that is almost edge-on: a zero scale would leave nothing to invert.
const AffineTransform kEdgeOn = AffineTransform::scale(0.02, 1);

struct RootEntry {
    std::weak_ptr<View> window;  // tells a live window from a new one at the same address
    std::shared_ptr<ViewController> controller;
};
std::map<const Window*, RootEntry>& roots() {
    static std::map<const Window*, RootEntry> r;
    return r;
}

}  // namespace

ViewController::ViewController(std::string nibName, const foundation::Bundle* bundle)
    : nibName_(std::move(nibName)), bundle_(bundle) {
    memoryObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
        kApplicationDidReceiveMemoryWarningNotification, nullptr,
        [this](const foundation::Notification&) { didReceiveMemoryWarning(); });
}

ViewController::~ViewController() {
    if (view_) view_->setNextResponderOverride(nullptr);
}

std::shared_ptr<View> ViewController::view() {
    if (!view_ && !loading_) {
        loading_ = true;
        try {
            loadView();
        } catch (...) {
            loading_ = false;
            throw;
        }
        loading_ = false;
        if (!view_)
            foundation::Exception::raise(
                foundation::kInternalInconsistencyException,
                nibClassName() + " loaded no view" +
                    (nibName_.empty() ? "" : " from \"" + nibName_ + "\" (no \"view\" outlet set)"));
        viewDidLoad();
    }
    return view_;
}

void ViewController::setView(std::shared_ptr<View> view) {
    if (view_) view_->setNextResponderOverride(nullptr);
    view_ = std::move(view);
    if (view_) view_->setNextResponderOverride(this);
}

void ViewController::loadView() {
    if (nibName_.empty()) {
        setView(std::make_shared<View>(Screen::main().bounds()));
        return;
    }
    foundation::Error error;
    if (!InterfaceLoader::load(nibName_, bundle_, this, &error))
        throw InterfaceFileException("Could not load the interface file \"" + nibName_ + "\" for " + nibClassName() +
                                         ": " + error.localizedDescription(),
                                     error);
}

void ViewController::declareConnections(ConnectionTable& table) {
    table.outlet("view", [this](const std::shared_ptr<View>& v, const std::shared_ptr<NibObject>&, bool apply) {
        if (v && apply) setView(v);
        return v != nullptr;
    });
}

Responder* ViewController::nextResponder() const {
    if (!view_) return nullptr;
    auto super = view_->superview();
    return super.get();
}

Window* ViewController::window() const { return view_ ? view_->window() : nullptr; }

InterfaceOrientation ViewController::interfaceOrientation() const { return Screen::main().orientation(); }

void ViewController::setNeedsStatusBarAppearanceUpdate() {
    // The status bar is not drawn here; the style is read when it would be.
}

void ViewController::beginAppearanceTransition(bool appearing, bool animated) {
    if (appearing) {
        if (appearance_ == Appearance::Appeared || appearance_ == Appearance::Appearing) return;
        view();  // loaded before it is told it will appear
        appearance_ = Appearance::Appearing;
        appearingAnimated_ = animated;
        viewWillAppear(animated);
    } else {
        if (appearance_ == Appearance::Disappeared || appearance_ == Appearance::Disappearing) return;
        appearance_ = Appearance::Disappearing;
        appearingAnimated_ = animated;
        viewWillDisappear(animated);
    }
}

void ViewController::endAppearanceTransition() {
    if (appearance_ == Appearance::Appearing) {
        appearance_ = Appearance::Appeared;
        viewDidAppear(appearingAnimated_);
    } else if (appearance_ == Appearance::Disappearing) {
        appearance_ = Appearance::Disappeared;
        viewDidDisappear(appearingAnimated_);
    }
}

void ViewController::presentViewController(std::shared_ptr<ViewController> vc, bool animated,
                                           std::function<void()> completion) {
    if (!vc)
        foundation::Exception::raise(foundation::kInvalidArgumentException, "Cannot present a null view controller");
    if (presented_ || vc->presentingViewController()) {
        foundation::log("Warning: Attempt to present " + vc->nibClassName() + " on " + nibClassName() +
                        " which is already presenting");
        return;
    }
    Window* win = window();
    if (!win) {
        foundation::log("Warning: Attempt to present " + vc->nibClassName() + " on " + nibClassName() +
                        " whose view is not in the window hierarchy!");
        return;
    }
    presented_ = vc;
    vc->presenting_ = weak_from_this();
    vc->beingPresented_ = true;

    std::shared_ptr<View> from = view();
    std::shared_ptr<View> to = vc->view();
    to->setFrame(win->bounds());
    to->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);

    beginAppearanceTransition(false, animated);
    vc->beginAppearanceTransition(true, animated);

    auto self = shared_from_this();
    auto done = [self, vc, from, animated, completion] {
        from->setHidden(true);  // covered until the dismissal
        from->setTransform(AffineTransform::identity());
        self->finishPresentation(vc, animated, completion);
    };
    if (!animated || !View::areAnimationsEnabled()) {
        win->addSubview(to);
        done();
        return;
    }
    const double d = kTransitionDuration;
    switch (vc->modalTransitionStyle()) {
    case ModalTransitionStyle::FlipHorizontal:
        // First half turns the old view edge-on, second half turns the new one in.
        View::animate(
            d / 2, 0, kAnimationOptionCurveEaseIn, [from] { from->setTransform(kEdgeOn); },
            [win, to, d, done](bool) {
                View::performWithoutAnimation([&] {
                    to->setTransform(kEdgeOn);
                    win->addSubview(to);
                });
                View::animate(
                    d / 2, 0, kAnimationOptionCurveEaseOut, [to] { to->setTransform(AffineTransform::identity()); },
                    [done](bool) { done(); });
            });
        break;
    case ModalTransitionStyle::CrossDissolve:
        View::performWithoutAnimation([&] {
            to->setAlpha(0);
            win->addSubview(to);
        });
        View::animate(
            d, [to] { to->setAlpha(1); }, [done](bool) { done(); });
        break;
    case ModalTransitionStyle::CoverVertical: {
        const Rect final = to->frame();
        View::performWithoutAnimation([&] {
            to->setFrame(final.offsetBy(0, final.height()));
            win->addSubview(to);
        });
        View::animate(
            d, 0, kAnimationOptionCurveEaseOut, [to, final] { to->setFrame(final); }, [done](bool) { done(); });
        break;
    }
    }
}

void ViewController::finishPresentation(std::shared_ptr<ViewController> vc, bool /*animated*/,
                                        std::function<void()> completion) {
    vc->beingPresented_ = false;
    vc->endAppearanceTransition();
    endAppearanceTransition();
    if (completion) completion();
}

void ViewController::dismissViewControllerAnimated(bool animated, std::function<void()> completion) {
    if (!presented_) {
        if (auto presenter = presentingViewController())
            presenter->dismissViewControllerAnimated(animated, std::move(completion));
        return;
    }
    if (presented_->beingDismissed_ || presented_->beingPresented_) return;
    std::shared_ptr<ViewController> vc = presented_;
    // What it presents goes with it.
    if (vc->presented_) {
        auto top = vc->presented_;
        top->beginAppearanceTransition(false, false);
        top->view()->removeFromSuperview();
        top->endAppearanceTransition();
        top->presenting_.reset();
        vc->presented_.reset();
    }
    vc->beingDismissed_ = true;
    std::shared_ptr<View> from = vc->view();
    std::shared_ptr<View> to = view();

    vc->beginAppearanceTransition(false, animated);
    beginAppearanceTransition(true, animated);
    to->setHidden(false);

    auto self = shared_from_this();
    auto done = [self, vc, from, completion] {
        from->removeFromSuperview();
        from->setTransform(AffineTransform::identity());
        from->setAlpha(1);
        vc->beingDismissed_ = false;
        vc->presenting_.reset();
        self->presented_.reset();
        vc->endAppearanceTransition();
        self->endAppearanceTransition();
        if (completion) completion();
    };
    if (!animated || !View::areAnimationsEnabled() || !from->window()) {
        done();
        return;
    }
    const double d = kTransitionDuration;
    switch (vc->modalTransitionStyle()) {
    case ModalTransitionStyle::FlipHorizontal:
        View::performWithoutAnimation([&] { to->setTransform(kEdgeOn); });
        View::animate(
            d / 2, 0, kAnimationOptionCurveEaseIn, [from] { from->setTransform(kEdgeOn); },
            [from, to, d, done](bool) {
                View::performWithoutAnimation([&] { from->setHidden(true); });
                View::animate(
                    d / 2, 0, kAnimationOptionCurveEaseOut, [to] { to->setTransform(AffineTransform::identity()); },
                    [from, done](bool) {
                        from->setHidden(false);
                        done();
                    });
            });
        break;
    case ModalTransitionStyle::CrossDissolve:
        View::animate(
            d, [from] { from->setAlpha(0); }, [done](bool) { done(); });
        break;
    case ModalTransitionStyle::CoverVertical: {
        const Rect start = from->frame();
        View::animate(
            d, 0, kAnimationOptionCurveEaseIn, [from, start] { from->setFrame(start.offsetBy(0, start.height())); },
            [from, start, done](bool) {
                from->setFrame(start);
                done();
            });
        break;
    }
    }
}

// ---- the window's root

void forgetClosedWindows() {
    auto& map = roots();
    for (auto it = map.begin(); it != map.end();) it = it->second.window.expired() ? map.erase(it) : std::next(it);
}

void setRootViewController(Window& window, std::shared_ptr<ViewController> controller) {
    forgetClosedWindows();
    auto& map = roots();

    std::shared_ptr<ViewController> old;
    if (auto it = map.find(&window); it != map.end()) old = it->second.controller;
    if (old == controller) return;
    const bool visible = Window::keyWindow() == &window;
    if (old && visible) old->beginAppearanceTransition(false, false);
    if (controller) {
        auto view = controller->view();
        view->setFrame(window.bounds());
        view->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
        window.setRootView(view);
        map[&window] = RootEntry{std::static_pointer_cast<View>(window.shared_from_this()), controller};
    } else {
        if (old && old->isViewLoaded()) old->view()->removeFromSuperview();
        map.erase(&window);
    }
    if (old && visible) old->endAppearanceTransition();
    if (visible) windowDidBecomeVisible(window);
}

std::shared_ptr<ViewController> rootViewController(const Window& window) {
    auto& map = roots();
    auto it = map.find(&window);
    if (it == map.end() || it->second.window.expired()) return nullptr;
    return it->second.controller;
}

void windowDidBecomeVisible(Window& window) {
    auto root = rootViewController(window);
    if (!root || root->isAppeared()) return;
    root->beginAppearanceTransition(true, false);
    // Did-appear follows once the current turn (the launch) is over.
    std::weak_ptr<ViewController> weak = root;
    foundation::RunLoop::main().perform([weak] {
        if (auto r = weak.lock()) r->endAppearanceTransition();
    });
}

}  // namespace platform::ui

#pragma once
// A view controller: owns a view loaded on first use, from an interface file
// (nibName in bundle) or by loadView; gets the appearance callbacks in the
// platform's order; presents and dismisses other controllers full-screen
// (animated with the horizontal flip or a cover from below); answers rotation
// on a tablet; hears memory warnings. Created with std::make_shared.
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/NibObject.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Touch.h"

namespace platform::foundation {
class Bundle;
}

namespace platform::ui {

class View;
class Window;

enum class ModalTransitionStyle { CoverVertical, FlipHorizontal, CrossDissolve };
enum class StatusBarStyle { Default, LightContent };
enum RectEdge : unsigned {
    kRectEdgeNone = 0,
    kRectEdgeTop = 1,
    kRectEdgeLeft = 2,
    kRectEdgeBottom = 4,
    kRectEdgeRight = 8,
    kRectEdgeAll = 15
};

class ViewController : public NibObject, public Responder, public std::enable_shared_from_this<ViewController> {
public:
    // Seconds of the present and dismiss transitions when animated.
    static constexpr double kTransitionDuration = 0.5;

    explicit ViewController(std::string nibName = "", const foundation::Bundle* bundle = nullptr);
    ~ViewController() override;
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    const std::string& nibName() const { return nibName_; }
    const foundation::Bundle* nibBundle() const { return bundle_; }

    // The view, loaded (then viewDidLoad) on first access. Loading a missing or
    // bad interface file raises NSInternalInconsistencyException naming the fault.
    std::shared_ptr<View> view();
    bool isViewLoaded() const { return view_ != nullptr; }
    void setView(std::shared_ptr<View> view);
    // Loads the interface file, or makes a plain view when there is none.
    virtual void loadView();
    virtual void viewDidLoad() {}

    virtual void viewWillAppear(bool /*animated*/) {}
    virtual void viewDidAppear(bool /*animated*/) {}
    virtual void viewWillDisappear(bool /*animated*/) {}
    virtual void viewDidDisappear(bool /*animated*/) {}
    // Sent when the application receives a memory warning.
    virtual void didReceiveMemoryWarning() {}

    // Rotation (the platform turns the interface only on a tablet).
    virtual bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
        return o == InterfaceOrientation::Portrait;
    }
    virtual void willRotateToInterfaceOrientation(InterfaceOrientation /*to*/, double /*duration*/) {}
    virtual void didRotateFromInterfaceOrientation(InterfaceOrientation /*from*/) {}
    InterfaceOrientation interfaceOrientation() const;

    virtual StatusBarStyle preferredStatusBarStyle() const { return StatusBarStyle::Default; }
    virtual bool prefersStatusBarHidden() const { return false; }
    void setNeedsStatusBarAppearanceUpdate();
    unsigned edgesForExtendedLayout() const { return extendedEdges_; }
    void setEdgesForExtendedLayout(unsigned edges) { extendedEdges_ = edges; }

    // Modal presentation.
    ModalTransitionStyle modalTransitionStyle() const { return transition_; }
    void setModalTransitionStyle(ModalTransitionStyle s) { transition_ = s; }
    // Presents `vc` over this controller's window. Presenting from a controller
    // that already presents one is refused (logged), as on the platform.
    void presentViewController(std::shared_ptr<ViewController> vc, bool animated,
                               std::function<void()> completion = nullptr);
    // Dismisses what this controller presents (or, when it presents nothing,
    // itself from its presenter).
    void dismissViewControllerAnimated(bool animated, std::function<void()> completion = nullptr);
    std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
    std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
    bool isBeingPresented() const { return beingPresented_; }
    bool isBeingDismissed() const { return beingDismissed_; }

    // Outlet "view".
    void declareConnections(ConnectionTable& table) override;
    Responder* nextResponder() const override;

    // The window whose root this controller is (or whose root presents it).
    Window* window() const;

    // Appearance driving, used by the window's root handling and by
    // presentation; each sends the callback once per transition.
    void beginAppearanceTransition(bool appearing, bool animated);
    void endAppearanceTransition();
    bool isAppeared() const { return appearance_ == Appearance::Appeared; }

private:
    enum class Appearance { Disappeared, Appearing, Appeared, Disappearing };
    void finishPresentation(std::shared_ptr<ViewController> vc, bool animated, std::function<void()> completion);

    std::string nibName_;
    const foundation::Bundle* bundle_;
    std::shared_ptr<View> view_;
    bool loading_ = false;
    std::shared_ptr<ViewController> presented_;
    std::weak_ptr<ViewController> presenting_;
    bool beingPresented_ = false, beingDismissed_ = false;
    Appearance appearance_ = Appearance::Disappeared;
    bool appearingAnimated_ = false;
    ModalTransitionStyle transition_ = ModalTransitionStyle::CoverVertical;
    unsigned extendedEdges_ = kRectEdgeAll;
    foundation::Observer memoryObserver_;
};

// The window's root view controller: its view fills the window. The window
// itself knows views only, so the pairing lives here. Setting it on a visible
// window makes the controller appear (viewWillAppear now, viewDidAppear on the
// next turn of the main run loop); the previous root disappears.
void setRootViewController(Window& window, std::shared_ptr<ViewController> controller);
std::shared_ptr<ViewController> rootViewController(const Window& window);
// Called when a window becomes visible (by the application after launch).
void windowDidBecomeVisible(Window& window);
// Releases the root controllers of windows that are gone (done before every
// memory warning, so a closed window's controllers do not hear it).
void forgetClosedWindows();

}  // namespace platform::ui

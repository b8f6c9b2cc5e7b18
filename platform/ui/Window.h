#pragma once
// The window: the root of the view tree, a screen-sized view that composes its
// layer tree into one image at the screen's scale, only when something
// changed, and turns pointer input into touches. A presenter shows the
// composed image (headless PNG writer or an SDL2 window).
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <vector>

#include "platform/ui/DamageTracker.h"
#include "platform/ui/View.h"

namespace platform::foundation {
struct Error;
}

namespace platform::ui {

class Window;
class ScrollView;

// Shows a window's picture. The window tells it when the picture changed;
// the presenter composes (Window::composedImage) when it wants to show it.
class WindowPresenter {
public:
    virtual ~WindowPresenter() = default;
    virtual void attach(Window* window) = 0;  // null detaches
    virtual void windowChanged() = 0;
    // Whether it shows frames as animations run (false: pictures on request only).
    virtual bool wantsFrames() const { return true; }
};

enum class PointerPhase { Down, Move, Up, Cancel };

class Window : public View, public LayerHost {
public:
    // A window of `size` points at `scale` pixels per point.
    Window(Size size, double scale);
    ~Window() override;

    double scale() const { return scale_; }
    void setScale(double scale);

    // The one view that fills the window (replaces the previous one).
    void setRootView(std::shared_ptr<View> view);
    std::shared_ptr<View> rootView() const { return rootView_.lock(); }

    void makeKeyAndVisible();
    bool isKeyWindow() const;
    static Window* keyWindow();
    // Every window that exists, in the order they were made: back to front.
    static std::vector<Window*> windows();

    // Composition: runs pending layout and drawing, then composes when the
    // picture changed since the last composition; otherwise returns the
    // previous image.
    std::shared_ptr<Image> composedImage();
    // What a composition does before it paints (pending layout, the layers'
    // drawing), without painting the picture: for passes that nobody looks
    // at. The next composedImage() paints.
    void prepareFrame();
    // Also true while animations run unticked (nothing shows frames): their
    // values are then read at composition.
    bool needsComposition() const;
    uint64_t compositionCount() const { return compositions_; }
    // Writes the composed picture as PNG.
    bool writePNG(const std::string& path, foundation::Error* error = nullptr);
    // Pixel rectangles of the composed image that changed since the last call
    // (a presenter copies only these); the whole image after a size change.
    std::vector<Rect> takeDamage();
    // The rectangles the last composition redrew (the whole image when it
    // composed everything).
    const std::vector<Rect>& lastDamage() const { return lastDamage_; }

    void setPresenter(std::shared_ptr<WindowPresenter> presenter);
    std::shared_ptr<WindowPresenter> presenter() const { return presenter_; }

    // Pointer input in window points; `pointer` tells fingers apart.
    void sendPointer(PointerPhase phase, Point p, int pointer = 0);
    // Wheel input at `p`: the scroll view under it moves by (dx, dy) points.
    void sendWheel(Point p, double dx, double dy);
    // Keyboard input, for the first responder: typed text (UTF-8, whole
    // characters) and editing keys. Nothing happens without one.
    void sendText(const std::string& text);
    void sendKey(Key key);
    std::shared_ptr<View> firstResponder() const { return firstResponder_.lock(); }

    Window* window() const override { return const_cast<Window*>(this); }
    void layerTreeChanged() override;
    void setFrame(const Rect& r) override;

    // Movement in points after which a touch in a scroll view starts dragging it.
    static constexpr double kDragThreshold = 10;

private:
    friend class View;  // keeps firstResponder_ as focus moves
    struct Tracked {
        std::shared_ptr<Touch> touch;
        std::weak_ptr<ScrollView> scroller;  // the scroll view that may take the drag
        std::weak_ptr<ScrollView> dragging;  // set once it took it
        Point start;
    };
    void deliver(const std::shared_ptr<View>& view, TouchPhase phase, const std::shared_ptr<Touch>& touch);
    // Layout and the layers' drawing at the current media time, which it answers.
    double drawFrame();

    double scale_;
    std::weak_ptr<View> rootView_;
    bool dirty_ = true;
    double composedAt_ = -1;  // media time of the last composition
    bool unpainted_ = false;  // prepared since the last painted picture
    uint64_t compositions_ = 0;
    std::shared_ptr<Image> image_;
    DamageTracker tracker_;
    std::vector<Rect> lastDamage_, pendingDamage_;
    std::shared_ptr<WindowPresenter> presenter_;
    std::map<int, Tracked> touches_;
    std::weak_ptr<View> firstResponder_;
};

}  // namespace platform::ui

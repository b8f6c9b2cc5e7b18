#pragma once
// A view: a rectangle on screen with its own layer, subviews, custom drawing,
// layout and touch handling. Views are shared (std::make_shared) and know their
// superview weakly. Frame, bounds, center, transform and alpha live on the
// layer; inside an animation block (beginAnimations/commitAnimations or
// animate) their changes animate.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/Context.h"
#include "platform/ui/Key.h"
#include "platform/ui/Layer.h"
#include "platform/ui/Touch.h"

namespace platform::ui {

class InterfaceProperties;
class Window;

enum AutoresizingMask : unsigned {
    kAutoresizingNone = 0,
    kAutoresizingFlexibleLeftMargin = 1 << 0,
    kAutoresizingFlexibleWidth = 1 << 1,
    kAutoresizingFlexibleRightMargin = 1 << 2,
    kAutoresizingFlexibleTopMargin = 1 << 3,
    kAutoresizingFlexibleHeight = 1 << 4,
    kAutoresizingFlexibleBottomMargin = 1 << 5,
};

enum class ContentMode {
    ScaleToFill,
    ScaleAspectFit,
    ScaleAspectFill,
    Redraw,
    Center,
    Top,
    Bottom,
    Left,
    Right,
    TopLeft,
    TopRight,
    BottomLeft,
    BottomRight
};

enum class AnimationCurve { EaseInOut, EaseIn, EaseOut, Linear };

enum AnimationOptions : unsigned {
    kAnimationOptionNone = 0,
    kAnimationOptionBeginFromCurrentState = 1 << 2,
    kAnimationOptionCurveEaseInOut = 0 << 16,
    kAnimationOptionCurveEaseIn = 1 << 16,
    kAnimationOptionCurveEaseOut = 2 << 16,
    kAnimationOptionCurveLinear = 3 << 16,
};

class View : public Responder, public LayerDelegate, public std::enable_shared_from_this<View> {
public:
    explicit View(const Rect& frame = {}, std::shared_ptr<Layer> layer = nullptr);
    ~View() override;
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Called by the interface-file loader after the view and its outlets are set.
    virtual void awakeFromNib() {}
    // The properties interface files may set on this class (InterfaceProperties.h).
    virtual const InterfaceProperties& interfaceProperties() const;

    // Geometry (in the superview's space, except bounds).
    Rect frame() const;
    virtual void setFrame(const Rect& r);
    Rect bounds() const;
    virtual void setBounds(const Rect& r);
    Point center() const;
    virtual void setCenter(Point p);
    AffineTransform transform() const;
    virtual void setTransform(const AffineTransform& t);

    // Appearance.
    double alpha() const;
    virtual void setAlpha(double a);
    bool isHidden() const;
    virtual void setHidden(bool h);
    std::optional<Color> backgroundColor() const;
    virtual void setBackgroundColor(std::optional<Color> c);
    bool isOpaque() const { return opaque_; }
    void setOpaque(bool o);
    bool clipsToBounds() const;
    void setClipsToBounds(bool c);
    ContentMode contentMode() const { return contentMode_; }
    virtual void setContentMode(ContentMode m);
    // Inherited from the superview when not set (default: the platform blue).
    Color tintColor() const;
    virtual void setTintColor(std::optional<Color> c);
    virtual void tintColorDidChange() {}
    double contentScaleFactor() const;

    int64_t tag() const { return tag_; }
    void setTag(int64_t t) { tag_ = t; }
    bool isUserInteractionEnabled() const { return userInteraction_; }
    void setUserInteractionEnabled(bool e) { userInteraction_ = e; }
    bool isMultipleTouchEnabled() const { return multipleTouch_; }
    void setMultipleTouchEnabled(bool e) { multipleTouch_ = e; }

    unsigned autoresizingMask() const { return autoresizing_; }
    void setAutoresizingMask(unsigned m) { autoresizing_ = m; }
    bool autoresizesSubviews() const { return autoresizesSubviews_; }
    void setAutoresizesSubviews(bool a) { autoresizesSubviews_ = a; }

    std::shared_ptr<Layer> layer() const { return layer_; }

    // Tree.
    // Null while the superview is not yet owned by a shared_ptr (inside its constructor).
    std::shared_ptr<View> superview() const;
    View* superviewPointer() const { return superview_; }
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    void addSubview(std::shared_ptr<View> view);
    void insertSubview(std::shared_ptr<View> view, size_t index);
    void insertSubviewBelow(std::shared_ptr<View> view, const View* sibling);
    void insertSubviewAbove(std::shared_ptr<View> view, const View* sibling);
    void removeFromSuperview();
    void bringSubviewToFront(const View* view);
    void sendSubviewToBack(const View* view);
    bool isDescendantOfView(const View* view) const;  // true for the view itself
    // This view or the first descendant (depth first) with the tag.
    std::shared_ptr<View> viewWithTag(int64_t tag);
    // The window this view is in, or null.
    virtual Window* window() const;

    virtual void willMoveToSuperview(View* /*newSuperview*/) {}
    virtual void didMoveToSuperview() {}
    virtual void willMoveToWindow(Window* /*newWindow*/) {}
    virtual void didMoveToWindow() {}
    virtual void didAddSubview(View* /*subview*/) {}
    virtual void willRemoveSubview(View* /*subview*/) {}

    // Conversion between views of one window (null: the window).
    Point convertPointTo(Point p, const View* view) const;
    Point convertPointFrom(Point p, const View* view) const;
    Rect convertRectTo(const Rect& r, const View* view) const;
    Rect convertRectFrom(const Rect& r, const View* view) const;

    // Hit testing: the deepest visible, interactive descendant containing `p`
    // (in this view's space), later subviews first.
    virtual std::shared_ptr<View> hitTest(Point p, const Event* event);
    virtual bool pointInside(Point p, const Event* event) const;

    // Layout.
    void setNeedsLayout();
    void layoutIfNeeded();
    virtual void layoutSubviews() {}
    virtual Size sizeThatFits(Size size) const;
    void sizeToFit();

    // Drawing: drawRect is called with a context over the view's bounds when
    // the view was marked; a view that does not override it has no backing.
    void setNeedsDisplay();
    void setNeedsDisplayInRect(const Rect& r);
    virtual void drawRect(Context& ctx, const Rect& rect);

    // Keyboard focus. The window's first responder receives typed text and
    // editing keys; a tap outside it, or its leaving the window, ends it.
    virtual bool canBecomeFirstResponder() const { return false; }
    // False when the view cannot take focus (or is in no window) or refuses it.
    bool becomeFirstResponder();
    // Gives focus up (nothing when the view has none).
    void resignFirstResponder();
    bool isFirstResponder() const;
    virtual void insertText(const std::string& /*text*/) {}
    virtual void pressKey(Key /*key*/) {}

    // Responder chain: the owning controller when set, else the superview.
    Responder* nextResponder() const override;
    void setNextResponderOverride(Responder* r) { nextResponderOverride_ = r; }

    // Named animation blocks.
    static void beginAnimations(const std::string& animationID = "", void* context = nullptr);
    static void commitAnimations();
    static void setAnimationDuration(double seconds);
    static void setAnimationDelay(double seconds);
    static void setAnimationCurve(AnimationCurve curve);
    static void setAnimationBeginsFromCurrentState(bool fromCurrent);
    // Told once when every animation of the block stopped; finished is false
    // when one was removed or replaced before its end.
    using DidStopHandler = std::function<void(const std::string& animationID, bool finished, void* context)>;
    static void setAnimationDidStop(DidStopHandler handler);
    static void setAnimationsEnabled(bool enabled);
    static bool areAnimationsEnabled();

    // Block animations: changes made in `animations` animate; `completion`
    // (may be empty) is called once with whether they all finished.
    static void animate(double duration, double delay, unsigned options, const std::function<void()>& animations,
                        std::function<void(bool finished)> completion = nullptr);
    static void animate(double duration, const std::function<void()>& animations,
                        std::function<void(bool finished)> completion = nullptr);
    // Runs `changes` with animations off.
    static void performWithoutAnimation(const std::function<void()>& changes);

    // LayerDelegate.
    void drawLayer(Layer& layer, Context& ctx) override;
    std::shared_ptr<Animation> actionForLayer(Layer& layer, const std::string& key) override;

protected:
    // Focus hooks: willBecome may refuse (false); didResign follows every loss
    // of focus, also by leaving the window.
    virtual bool willBecomeFirstResponder() { return true; }
    virtual void didBecomeFirstResponder() {}
    virtual void didResignFirstResponder() {}

    // Moves the subviews by their autoresizing masks after a bounds size change.
    void resizeSubviews(Size oldSize);

private:
    friend class Window;
    void setWindowRecursive(Window* old, Window* now);
    void removeSubviewInternal(View* view);
    void insertInternal(std::shared_ptr<View> view, size_t index);

    std::shared_ptr<Layer> layer_;
    View* superview_ = nullptr;  // cleared by the superview when it goes
    std::vector<std::shared_ptr<View>> subviews_;
    int64_t tag_ = 0;
    bool opaque_ = true;
    bool userInteraction_ = true;
    bool multipleTouch_ = false;
    bool autoresizesSubviews_ = true;
    bool needsLayout_ = true;
    unsigned autoresizing_ = kAutoresizingNone;
    ContentMode contentMode_ = ContentMode::ScaleToFill;
    std::optional<Color> tint_;
    bool drawRectOverridden_ = true;  // until the base drawRect runs
    Responder* nextResponderOverride_ = nullptr;
};

using ViewPtr = std::shared_ptr<View>;

}  // namespace platform::ui

#pragma once
// A layer: a rectangle in its superlayer's space with contents (an image),
// background, opacity and sublayers; the window composes the tree of layers.
// Geometry: `position` is where the `anchorPoint` (unit coordinates of the
// bounds) sits in the superlayer; `transform` turns the layer about it.
//
// Every animatable property is kept as a PropertyValue under its key (built-in
// ones: "position", "bounds", "anchorPoint", "opacity", "transform",
// "backgroundColor", "cornerRadius"; subclasses add their own with setValue).
// A change asks actionForKey for an animation to run; inside a view animation
// block that is one with the block's timing. The model value changes at once;
// presentationLayer() shows the values on screen now.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/Context.h"
#include "platform/graphics/Image.h"
#include "platform/ui/Animation.h"

namespace platform::ui {

using graphics::Context;
using graphics::Image;

class LayerHost;

// Whoever draws the layer's contents instead of drawInContext (a view).
class LayerDelegate {
public:
    virtual ~LayerDelegate() = default;
    virtual void drawLayer(class Layer& layer, Context& ctx) = 0;
    // The action of a property change (a view answers inside animation blocks).
    virtual std::shared_ptr<Animation> actionForLayer(class Layer& layer, const std::string& key) = 0;
};

enum class ContentsGravity {
    Resize,
    ResizeAspect,
    ResizeAspectFill,
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

class Layer : public std::enable_shared_from_this<Layer> {
public:
    Layer();
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // Geometry.
    Point position() const;
    void setPosition(Point p);
    Rect bounds() const;
    void setBounds(const Rect& r);
    Point anchorPoint() const;
    void setAnchorPoint(Point p);
    AffineTransform transform() const;
    void setTransform(const AffineTransform& t);
    // Derived from position, bounds, anchor and transform (the bounding box when
    // transformed); setting it moves position and resizes bounds.
    Rect frame() const;
    void setFrame(const Rect& r);

    // Appearance.
    float opacity() const;
    void setOpacity(float o);
    bool isHidden() const { return hidden_; }
    void setHidden(bool h);
    std::optional<Color> backgroundColor() const;
    void setBackgroundColor(std::optional<Color> c);
    double cornerRadius() const;
    void setCornerRadius(double r);
    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double w);
    Color borderColor() const { return borderColor_; }
    void setBorderColor(const Color& c);
    bool masksToBounds() const { return masksToBounds_; }
    void setMasksToBounds(bool m);
    bool isOpaque() const { return opaque_; }
    void setOpaque(bool o) { opaque_ = o; }

    // Contents: shown stretched per `contentsGravity` over the bounds.
    std::shared_ptr<Image> contents() const { return contents_; }
    void setContents(std::shared_ptr<Image> image);
    double contentsScale() const { return contentsScale_; }
    void setContentsScale(double s);
    ContentsGravity contentsGravity() const { return gravity_; }
    void setContentsGravity(ContentsGravity g);

    // Tree.
    std::shared_ptr<Layer> superlayer() const { return superlayer_.lock(); }
    const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
    void addSublayer(std::shared_ptr<Layer> layer);
    void insertSublayer(std::shared_ptr<Layer> layer, size_t index);
    void insertSublayerBelow(std::shared_ptr<Layer> layer, const Layer* sibling);
    void insertSublayerAbove(std::shared_ptr<Layer> layer, const Layer* sibling);
    void removeFromSuperlayer();

    // Drawing. Marks the contents stale; the next composition redraws them
    // through the delegate or drawInContext into a backing image of the bounds'
    // size at contentsScale. A layer that does neither keeps `contents`.
    void setNeedsDisplay();
    bool needsDisplay() const { return needsDisplay_; }
    // Draws now when marked.
    void displayIfNeeded();
    virtual void drawInContext(Context& ctx);
    LayerDelegate* delegate() const { return delegate_; }
    void setDelegate(LayerDelegate* d) { delegate_ = d; }

    // Animatable values by key (built-in and custom). valueForKey gives the model
    // value, except while this layer is being drawn (drawInContext, the
    // delegate's drawing), when it gives the value on screen now.
    PropertyValue valueForKey(const std::string& key) const;
    void setValue(const std::string& key, PropertyValue value);
    double doubleForKey(const std::string& key) const;  // 0 when absent or not a number
    // True when a change (or animation) of `key` must redraw the contents.
    virtual bool needsDisplayForKey(const std::string& key) const;
    // The animation to run when `key` changes; called before the model value
    // changes, so presentationLayer() still shows the old state. Default: the
    // delegate's answer (a view's animation block), else none.
    virtual std::shared_ptr<Animation> actionForKey(const std::string& key);

    // Animations (a copy of `anim` is added; an existing one under the same key
    // is replaced and told it did not finish). Key defaults to the key path.
    void addAnimation(const std::shared_ptr<Animation>& anim, const std::string& key = "");
    void removeAnimation(const std::string& key);
    void removeAllAnimations();
    std::shared_ptr<Animation> animationForKey(const std::string& key) const;
    std::vector<std::string> animationKeys() const;
    bool hasAnimations() const { return !animations_.empty(); }

    // A copy of this layer's properties (not its sublayers) with the values on
    // screen at the current media time.
    std::shared_ptr<Layer> presentationLayer() const;
    // The value of `key` on screen at media time `time`.
    PropertyValue presentationValue(const std::string& key, double time) const;

    // Point conversion between this layer's space and another's (null: the
    // root's superspace).
    Point convertPointTo(Point p, const Layer* other) const;
    Point convertPointFrom(Point p, const Layer* other) const;
    // This layer's space to its superlayer's space, with the model values.
    AffineTransform transformToSuperlayer() const;
    bool containsPoint(Point p) const { return bounds().contains(p); }

    // Set on the root layer by the window that shows it.
    void setHost(LayerHost* host) { host_ = host; }
    LayerHost* host() const;  // the root's host
    void markChanged();       // tells the host the picture changed
    // Counts the changes of how the layer itself is painted (properties,
    // drawn contents, sublayer list); animations in flight are not counted.
    uint64_t generation() const { return generation_; }

    // Composition state (used by the compositor).
    struct Animated {
        std::string key;
        std::shared_ptr<Animation> anim;
        bool finishedReported = false;
    };
    const std::vector<Animated>& runningAnimations() const { return animations_; }
    std::shared_ptr<Image> backingImage() const { return backing_; }
    // Whether this layer draws its own contents (known after the first display).
    bool drawsContent() const { return drawsContent_; }
    // Whether an animation of a key that needs display shows, at `time`, other
    // values than the last drawing did (a redraw would change nothing otherwise).
    bool animatedDrawingChanged(double time) const;
    // Called by the animation clock: reports animations that ended by `time`,
    // removes them when they ask, returns true while some still run.
    bool advanceAnimations(double time);
    // The media time at which the next of its running animations ends
    // (infinity when none ends).
    double nextAnimationEnd() const;

protected:
    // For presentation copies: copies the properties, not tree or animations.
    void copyPropertiesFrom(const Layer& other);
    // Subclasses that add their own state override this to make the presentation copy.
    virtual std::shared_ptr<Layer> makeEmptyCopy() const;

private:
    friend class Compositor;
    friend class LayerValuesScope;
    void display();
    void reportStop(Animated& a, bool finished);
    PropertyValue modelValue(const std::string& key) const;
    void attachTo(Layer* parent);

    std::map<std::string, PropertyValue> values_;
    bool hidden_ = false;
    double borderWidth_ = 0;
    Color borderColor_ = Color::black();
    bool masksToBounds_ = false;
    bool opaque_ = false;
    std::shared_ptr<Image> contents_;
    double contentsScale_ = 1;
    ContentsGravity gravity_ = ContentsGravity::Resize;
    std::weak_ptr<Layer> superlayer_;
    std::vector<std::shared_ptr<Layer>> sublayers_;
    bool needsDisplay_ = false;
    bool drawsContent_ = true;  // until a display shows it does not
    bool baseDrawCalled_ = false;
    bool presenting_ = false;
    std::shared_ptr<Image> backing_;
    std::map<std::string, PropertyValue> drawnValues_;  // animated keys' values at the last drawing
    LayerDelegate* delegate_ = nullptr;
    LayerHost* host_ = nullptr;
    std::vector<Animated> animations_;
    uint64_t generation_ = 0;
};

// Whoever shows a layer tree (the window): told when the picture changed.
class LayerHost {
public:
    virtual ~LayerHost() = default;
    virtual void layerTreeChanged() = 0;
};

}  // namespace platform::ui

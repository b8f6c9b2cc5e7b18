#pragma once
// A scroll view: its bounds origin is the content offset into content of
// contentSize. A drag that moves past a few points scrolls it (the touched
// subview gets touchesCancelled); the mouse wheel scrolls it too. Scrolling
// keeps offsets within -inset .. contentSize + inset - bounds size; an offset
// left outside by a change of size only moves back towards them.
#include "platform/ui/View.h"

namespace platform::ui {

class ScrollView;

class ScrollViewDelegate {
public:
    virtual ~ScrollViewDelegate() = default;
    virtual void scrollViewDidScroll(ScrollView&) {}
    virtual void scrollViewWillBeginDragging(ScrollView&) {}
    virtual void scrollViewDidEndDragging(ScrollView&, bool /*willDecelerate*/) {}
    virtual void scrollViewDidEndScrollingAnimation(ScrollView&) {}
};

class ScrollView : public View {
public:
    explicit ScrollView(const Rect& frame = {});
    const InterfaceProperties& interfaceProperties() const override;

    Size contentSize() const { return contentSize_; }
    void setContentSize(Size s);
    Point contentOffset() const { return bounds().origin; }
    void setContentOffset(Point p, bool animated = false);
    graphics::EdgeInsets contentInset() const { return inset_; }
    void setContentInset(const graphics::EdgeInsets& e);
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool e) { scrollEnabled_ = e; }
    bool isDragging() const { return dragging_; }
    bool showsVerticalScrollIndicator() const { return showsVertical_; }
    void setShowsVerticalScrollIndicator(bool s) { showsVertical_ = s; }
    bool showsHorizontalScrollIndicator() const { return showsHorizontal_; }
    void setShowsHorizontalScrollIndicator(bool s) { showsHorizontal_ = s; }

    ScrollViewDelegate* delegate() const { return delegate_; }
    void setDelegate(ScrollViewDelegate* d) { delegate_ = d; }

    void setBounds(const Rect& r) override;
    // The offset nearest to `p` that the content allows.
    Point clampedOffset(Point p) const;
    // Whether the content can move along x / y: it is larger than the view, or
    // it stands where the view no longer allows (the view grew) and may come back.
    bool canScrollHorizontally() const;
    bool canScrollVertically() const;

    // Called by the window's touch handling.
    void beginDragging();
    void dragBy(double dx, double dy);  // finger movement in points
    void endDragging();
    void scrollWheel(double dx, double dy);  // points of content movement

private:
    // Where a scroll towards `want` ends: within what the content allows, or,
    // from an offset outside that, no further out than it already is.
    Point reachableOffset(Point want) const;

    Size contentSize_;
    graphics::EdgeInsets inset_;
    bool scrollEnabled_ = true, dragging_ = false;
    bool showsVertical_ = true, showsHorizontal_ = true;
    ScrollViewDelegate* delegate_ = nullptr;
};

}  // namespace platform::ui

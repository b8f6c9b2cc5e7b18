#include "platform/ui/Button.h"

#include <cmath>

#include "platform/ui/InterfaceProperties.h"

namespace platform::ui {

Button::Button(const Rect& frame, Type type) : Control(frame), type_(type) {
    backgroundView_ = std::make_shared<ImageView>(bounds());
    backgroundView_->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    imageView_ = std::make_shared<ImageView>(Rect{});
    titleLabel_ = std::make_shared<Label>(Rect{});
    titleLabel_->setFont(Font::systemFont(15));
    titleLabel_->setTextAlignment(TextAlignment::Center);
    titleLabel_->setLineBreakMode(LineBreakMode::TruncateMiddle);
    addSubview(backgroundView_);
    addSubview(imageView_);
    addSubview(titleLabel_);
    refreshContent();
}

const InterfaceProperties& Button::interfaceProperties() const {
    static const InterfaceProperties table =
        InterfaceProperties::Of<Button>(Control::interfaceProperties())
            .add<std::string>("title", [](Button& b, const std::string& s) { b.setTitle(s); })
            .add<Color>("titleColor", [](Button& b, const Color& c) { b.setTitleColor(c); })
            .add<Font>("font", [](Button& b, const Font& f) { b.titleLabel()->setFont(f); })
            .add<std::shared_ptr<Image>>("image", [](Button& b, const std::shared_ptr<Image>& i) { b.setImage(i); })
            .add<std::shared_ptr<Image>>("backgroundImage",
                                         [](Button& b, const std::shared_ptr<Image>& i) { b.setBackgroundImage(i); })
            .add<graphics::EdgeInsets>("contentEdgeInsets", &Button::setContentEdgeInsets);
    return table;
}

template <class T>
T Button::lookup(const std::map<unsigned, T>& m, unsigned state) {
    if (auto it = m.find(state); it != m.end()) return it->second;
    // A combined state falls back to its most telling single state, then normal.
    for (unsigned single :
         {unsigned(kControlStateDisabled), unsigned(kControlStateHighlighted), unsigned(kControlStateSelected)})
        if (state & single)
            if (auto it = m.find(single); it != m.end()) return it->second;
    if (auto it = m.find(kControlStateNormal); it != m.end()) return it->second;
    return T{};
}

void Button::setTitle(const std::string& title, unsigned state) {
    titles_[state] = title;
    refreshContent();
}
std::string Button::titleForState(unsigned state) const { return lookup(titles_, state); }

void Button::setTitleColor(std::optional<Color> color, unsigned state) {
    if (color)
        titleColors_[state] = *color;
    else
        titleColors_.erase(state);
    refreshContent();
}

std::optional<Color> Button::titleColorForState(unsigned state) const {
    if (titleColors_.count(state) || titleColors_.count(kControlStateNormal) ||
        (state & kControlStateDisabled && titleColors_.count(kControlStateDisabled)) ||
        (state & kControlStateHighlighted && titleColors_.count(kControlStateHighlighted)) ||
        (state & kControlStateSelected && titleColors_.count(kControlStateSelected)))
        return lookup(titleColors_, state);
    return std::nullopt;
}

Color Button::currentTitleColor() const {
    if (auto c = titleColorForState(state())) return *c;
    if (type_ == Type::System) {
        if (!isEnabled()) return Color::white(0.5, 0.5);
        return isHighlighted() ? tintColor().withAlpha(0.3) : tintColor();
    }
    return Color::whiteColor();
}

void Button::setImage(std::shared_ptr<Image> image, unsigned state) {
    if (image)
        images_[state] = std::move(image);
    else
        images_.erase(state);
    refreshContent();
}
std::shared_ptr<Image> Button::imageForState(unsigned state) const { return lookup(images_, state); }

void Button::setBackgroundImage(std::shared_ptr<Image> image, unsigned state) {
    if (image)
        backgrounds_[state] = std::move(image);
    else
        backgrounds_.erase(state);
    refreshContent();
}
std::shared_ptr<Image> Button::backgroundImageForState(unsigned state) const { return lookup(backgrounds_, state); }

void Button::setContentEdgeInsets(const graphics::EdgeInsets& e) {
    contentInsets_ = e;
    setNeedsLayout();
}

void Button::setEnabled(bool e) { Control::setEnabled(e); }
void Button::setHighlighted(bool h) { Control::setHighlighted(h); }
void Button::setSelected(bool s) { Control::setSelected(s); }

void Button::setTintColor(std::optional<Color> c) {
    View::setTintColor(c);
    refreshContent();
}

void Button::stateDidChange() {
    refreshContent();
    setNeedsDisplay();
}

void Button::refreshContent() {
    unsigned s = state();
    titleLabel_->setText(titleForState(s));
    titleLabel_->setTextColor(currentTitleColor());
    imageView_->setImage(imageForState(s));
    backgroundView_->setImage(backgroundImageForState(s));
    setNeedsLayout();
}

void Button::layoutSubviews() {
    Rect content = bounds().insetBy(contentInsets_);
    backgroundView_->setFrame(bounds());
    auto image = imageForState(state());
    Size is = image ? image->size() : Size{};
    std::string title = titleForState(state());
    Size ts = title.empty() ? Size{} : titleLabel_->font().sizeOfText(title);
    double avail = std::max(0.0, content.width() - is.width);
    ts.width = std::min(ts.width, avail);
    double total = is.width + ts.width;
    double x = content.x() + std::round((content.width() - total) / 2);
    imageView_->setFrame({x, content.y() + std::round((content.height() - is.height) / 2), is.width, is.height});
    titleLabel_->setFrame(
        {x + is.width, content.y() + std::round((content.height() - ts.height) / 2), ts.width, ts.height});
}

Size Button::sizeThatFits(Size) const {
    auto image = imageForState(state());
    Size is = image ? image->size() : Size{};
    std::string title = titleForState(state());
    Size ts = title.empty() ? Size{} : titleLabel_->font().sizeOfText(title);
    Size s{is.width + ts.width + contentInsets_.left + contentInsets_.right,
           std::max(is.height, ts.height) + contentInsets_.top + contentInsets_.bottom};
    if (auto bg = backgroundImageForState(state())) {
        s.width = std::max(s.width, bg->size().width);
        s.height = std::max(s.height, bg->size().height);
    }
    return s;
}

}  // namespace platform::ui

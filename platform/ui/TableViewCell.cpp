#include "platform/ui/TableViewCell.h"

#include <algorithm>

namespace platform::ui {

TableViewCell::TableViewCell(TableViewCellStyle style, std::string reuseIdentifier)
    : View(Rect{0, 0, 320, 44}), reuseIdentifier_(std::move(reuseIdentifier)), style_(style) {
    setBackgroundColor(Color::whiteColor());
    contentView_ = std::make_shared<View>(bounds());
    contentView_->setBackgroundColor(std::nullopt);
    contentView_->setOpaque(false);
    contentView_->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
    addSubview(contentView_);
    imageView_ = std::make_shared<ImageView>();
    contentView_->addSubview(imageView_);
    textLabel_ = std::make_shared<Label>();
    textLabel_->setFont(Font::boldSystemFont(style == TableViewCellStyle::Subtitle ? 17 : 18));
    contentView_->addSubview(textLabel_);
    if (style != TableViewCellStyle::Default) {
        detailLabel_ = std::make_shared<Label>();
        detailLabel_->setFont(Font::systemFont(style == TableViewCellStyle::Subtitle ? 14 : 17));
        detailLabel_->setTextColor(style == TableViewCellStyle::Subtitle ? Color::gray() : Color::rgb255(56, 84, 135));
        contentView_->addSubview(detailLabel_);
    }
}

void TableViewCell::setFrame(const Rect& r) {
    View::setFrame(r);
    setNeedsLayout();
}

void TableViewCell::setAccessoryType(TableViewCellAccessory a) {
    accessory_ = a;
    setNeedsLayout();
    setNeedsDisplay();
}

void TableViewCell::setSelected(bool selected, bool) {
    selected_ = selected;
    setNeedsDisplay();
}

void TableViewCell::setHighlighted(bool highlighted, bool) {
    highlighted_ = highlighted;
    setNeedsDisplay();
}

void TableViewCell::prepareForReuse() {
    selected_ = highlighted_ = false;
    setNeedsDisplay();
}

void TableViewCell::layoutSubviews() {
    const Rect b = bounds();
    const double accessoryWidth = accessory_ == TableViewCellAccessory::None ? 0 : 30;
    contentView_->setFrame({0, 0, b.width() - accessoryWidth, b.height()});
    const Rect c = contentView_->bounds();
    double x = 10;
    if (auto img = imageView_->image()) {
        Size s = img->size();
        const double h = std::min(s.height, c.height());
        imageView_->setFrame({x, (c.height() - h) / 2, s.width * (h / std::max(s.height, 1.0)), h});
        x = imageView_->frame().maxX() + 10;
    } else {
        imageView_->setFrame({});
    }
    const double w = std::max(0.0, c.width() - x - 10);
    switch (style_) {
    case TableViewCellStyle::Default: textLabel_->setFrame({x, 0, w, c.height()}); break;
    case TableViewCellStyle::Subtitle: {
        const double th = textLabel_->font().lineHeight(), dh = detailLabel_->font().lineHeight();
        const double top = (c.height() - th - dh) / 2;
        textLabel_->setFrame({x, top, w, th});
        detailLabel_->setFrame({x, top + th, w, dh});
        break;
    }
    case TableViewCellStyle::Value1:
    case TableViewCellStyle::Value2:
        textLabel_->setFrame({x, 0, w / 2, c.height()});
        detailLabel_->setFrame({x + w / 2, 0, w / 2, c.height()});
        detailLabel_->setTextAlignment(style_ == TableViewCellStyle::Value1 ? TextAlignment::Right
                                                                            : TextAlignment::Left);
        break;
    }
}

void TableViewCell::drawRect(Context& ctx, const Rect&) {
    const Rect b = bounds();
    if ((selected_ || highlighted_) && selectionStyle_ != TableViewCellSelectionStyle::None) {
        ctx.setFillColor(selectionStyle_ == TableViewCellSelectionStyle::Gray ? Color::white(0.85)
                                                                              : Color::rgb255(217, 217, 217));
        ctx.fillRect(b);
    }
    if (accessory_ == TableViewCellAccessory::DisclosureIndicator) {
        ctx.setStrokeColor(Color::white(0.7));
        ctx.setLineWidth(2);
        const double x = b.maxX() - 18, y = b.midY();
        ctx.strokeLine({x, y - 5}, {x + 5, y});
        ctx.strokeLine({x + 5, y}, {x, y + 5});
    } else if (accessory_ == TableViewCellAccessory::Checkmark) {
        ctx.setStrokeColor(tintColor());
        ctx.setLineWidth(2);
        const double x = b.maxX() - 24, y = b.midY();
        ctx.strokeLine({x, y}, {x + 5, y + 5});
        ctx.strokeLine({x + 5, y + 5}, {x + 14, y - 6});
    }
    // Separator.
    ctx.setFillColor(Color::white(0.8));
    ctx.fillRect({b.x() + 10, b.maxY() - 0.5, b.width() - 10, 0.5});
}

}  // namespace platform::ui

#include "framework/UILabelUnderlined.h"

double UILabelUnderlined::underlineWidth() const { return sizeThatFits({bounds().width(), 9999.0}).width; }

void UILabelUnderlined::drawRect(platform::graphics::Context& ctx, const platform::graphics::Rect& rect) {
    double y = bounds().height() - 1;
    ctx.setStrokeColor(textColor());
    ctx.setLineWidth(1.0);
    ctx.strokeLine({0, y}, {underlineWidth(), y});
    Label::drawRect(ctx, rect);
}

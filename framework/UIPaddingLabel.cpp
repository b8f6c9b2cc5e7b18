#include "framework/UIPaddingLabel.h"

void UIPaddingLabel::drawTextInRect(platform::graphics::Context& ctx, const platform::graphics::Rect& rect) {
    Label::drawTextInRect(ctx, {rect.x() + kPadding, rect.y(), rect.width() - 2 * kPadding, rect.height()});
}

#include "framework/GSVTextView.h"

#include "framework/TwkUtils.h"

void GSVTextView::awakeFromNib() {
    if (TwkUtils::isIpadMini()) setFont(font().withSize(kIpadMiniFontSize));
}

#include "framework/GSVLabel.h"

#include "framework/TwkUtils.h"

void GSVLabel::awakeFromNib() {
    if (TwkUtils::isIpadMini()) setFont(font().withSize(kIpadMiniFontSize));
}

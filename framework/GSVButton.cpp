#include "framework/GSVButton.h"

#include "framework/TwkUtils.h"

void GSVButton::awakeFromNib() {
    if (TwkUtils::isIpadMini()) titleLabel()->setFont(titleLabel()->font().withSize(kIpadMiniFontSize));
}

#include "framework/GSVTextField.h"

#include "framework/TwkUtils.h"

void GSVTextField::awakeFromNib() {
    if (TwkUtils::isIpadMini()) setFont(font().withSize(kIpadMiniFontSize));
}

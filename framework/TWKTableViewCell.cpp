#include "framework/TWKTableViewCell.h"

#include "framework/TwkUtils.h"

TWKTableViewCell::TWKTableViewCell(platform::ui::TableViewCellStyle style, std::string reuseIdentifier)
    : TableViewCell(style, std::move(reuseIdentifier)) {}

void TWKTableViewCell::awakeFromNib() {
    if (TwkUtils::isIpadMini() && textLabel()) textLabel()->setFont(textLabel()->font().withSize(kIpadMiniFontSize));
}

void TWKTableViewCell::declareConnections(platform::ui::ConnectionTable& table) {
    table.outlet("imageIcon", imageIcon_);
    table.outlet("appStoreIcon", appStoreIcon_);
    table.outlet("labelTitle", labelTitle_);
    table.outlet("labelBody", labelBody_);
}

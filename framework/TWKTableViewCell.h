#pragma once
// The More-apps list's cell: an application's icon, its store badge, its name
// and a line about it, laid out by the interface file "TWKTableViewCell" of
// the framework's resource bundle (the same text is the reuse identifier).
#include <memory>

#include "platform/ui/NibObject.h"
#include "platform/ui/TableViewCell.h"

class TWKTableViewCell : public platform::ui::TableViewCell, public platform::ui::NibObject {
public:
    static constexpr const char* kIdentifier = "TWKTableViewCell";
    static constexpr double kIpadMiniFontSize = 20.0;

    explicit TWKTableViewCell(platform::ui::TableViewCellStyle style = platform::ui::TableViewCellStyle::Default,
                              std::string reuseIdentifier = kIdentifier);

    // On an iPad mini the standard text grows to 20 points.
    void awakeFromNib() override;
    void declareConnections(platform::ui::ConnectionTable& table) override;

    std::shared_ptr<platform::ui::ImageView> imageIcon() const { return imageIcon_; }
    std::shared_ptr<platform::ui::ImageView> appStoreIcon() const { return appStoreIcon_; }
    std::shared_ptr<platform::ui::Label> labelTitle() const { return labelTitle_; }
    std::shared_ptr<platform::ui::Label> labelBody() const { return labelBody_; }

private:
    std::shared_ptr<platform::ui::ImageView> imageIcon_, appStoreIcon_;
    std::shared_ptr<platform::ui::Label> labelTitle_, labelBody_;
};

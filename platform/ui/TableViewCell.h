#pragma once
// A table row's view: a content view with the style's labels and image, a
// reuse identifier, selection and highlight, and an accessory mark.
#include <memory>
#include <string>

#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"

namespace platform::ui {

enum class TableViewCellStyle { Default, Value1, Value2, Subtitle };
enum class TableViewCellAccessory { None, DisclosureIndicator, Checkmark };
enum class TableViewCellSelectionStyle { None, Blue, Gray, Default };

class TableViewCell : public View {
public:
    explicit TableViewCell(TableViewCellStyle style = TableViewCellStyle::Default, std::string reuseIdentifier = "");

    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    void setReuseIdentifier(const std::string& r) { reuseIdentifier_ = r; }
    TableViewCellStyle style() const { return style_; }

    std::shared_ptr<View> contentView() const { return contentView_; }
    std::shared_ptr<Label> textLabel() const { return textLabel_; }
    // Null for the Default style.
    std::shared_ptr<Label> detailTextLabel() const { return detailLabel_; }
    std::shared_ptr<ImageView> imageView() const { return imageView_; }

    TableViewCellAccessory accessoryType() const { return accessory_; }
    void setAccessoryType(TableViewCellAccessory a);
    TableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
    void setSelectionStyle(TableViewCellSelectionStyle s) { selectionStyle_ = s; }
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected, bool animated = false);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted, bool animated = false);

    // Called before the table hands the cell out again.
    virtual void prepareForReuse();

    void layoutSubviews() override;
    void drawRect(Context& ctx, const Rect& rect) override;
    void setFrame(const Rect& r) override;

private:
    std::string reuseIdentifier_;
    TableViewCellStyle style_;
    std::shared_ptr<View> contentView_;
    std::shared_ptr<Label> textLabel_, detailLabel_;
    std::shared_ptr<ImageView> imageView_;
    TableViewCellAccessory accessory_ = TableViewCellAccessory::None;
    TableViewCellSelectionStyle selectionStyle_ = TableViewCellSelectionStyle::Default;
    bool selected_ = false, highlighted_ = false;
};

}  // namespace platform::ui

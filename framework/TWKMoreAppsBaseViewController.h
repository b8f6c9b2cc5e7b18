#pragma once
// The base of every screen of the information area (and of the review dialog
// and problem-report page): the framework's background, an optional Done
// button that closes the whole area, tablet centring of the content block,
// and the links back to the presenting screen (weak: the area must not keep
// its presenter alive) and to the TWKMoreInfo that built it.
#include <memory>
#include <string>

#include "framework/TwkBaseViewController.h"
#include "platform/ui/View.h"

class TWKMoreInfo;

// A presenting screen that wants to hear when the area has closed.
class TWKBackFromMoreApps {
public:
    virtual ~TWKBackFromMoreApps() = default;
    virtual void backFromMoreApps() = 0;
};

class TWKMoreAppsBaseViewController : public TwkBaseViewController {
public:
    explicit TWKMoreAppsBaseViewController(std::string nibName = "",
                                           const platform::foundation::Bundle* bundle = nullptr);

    // Creates a screen the way the platform's initialiser does: the view is
    // loaded at once (so viewDidLoad runs before the creator sets the links)
    // and takes the framework's background colour.
    template <class T, class... Args>
    static std::shared_ptr<T> create(Args&&... args) {
        auto vc = std::make_shared<T>(std::forward<Args>(args)...);
        vc->loadNow();
        return vc;
    }
    // The same for a screen made by another (an interface file's class registry).
    void loadNow();

    void declareConnections(platform::ui::ConnectionTable& t) override;
    void viewDidLoad() override;
    bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

    // Closes the area: the presenter dismisses what it presents, then (when it
    // wants to know) hears backFromMoreApps on a later turn of the main loop.
    void goBack(platform::ui::Control* sender);

    bool needsDoneButton() const { return needsDoneButton_; }
    void setNeedsDoneButton(bool n) { needsDoneButton_ = n; }
    std::shared_ptr<platform::ui::ViewController> backToViewController() const { return backTo_.lock(); }
    void setBackToViewController(const std::shared_ptr<platform::ui::ViewController>& vc) { backTo_ = vc; }
    std::shared_ptr<TWKMoreInfo> moreInfoParent() const { return moreInfoParent_; }
    void setMoreInfoParent(std::shared_ptr<TWKMoreInfo> p) { moreInfoParent_ = std::move(p); }
    std::shared_ptr<platform::ui::View> containerView() const { return containerView_; }

    // The framework's resource bundle, kept alive for the interface files that name it.
    static const platform::foundation::Bundle* resourceBundle();

protected:
    std::shared_ptr<platform::ui::View> containerView_;

private:
    bool needsDoneButton_ = false;
    std::weak_ptr<platform::ui::ViewController> backTo_;
    std::shared_ptr<TWKMoreInfo> moreInfoParent_;
};

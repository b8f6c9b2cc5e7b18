#include "analytics/TLYTrackedViewController.h"

#include "analytics/TLY.h"
#include "analytics/TLYFields.h"
#include "analytics/TLYLog.h"

using platform::foundation::Value;

TLYTrackedViewController::TLYTrackedViewController(std::string nibName, const platform::foundation::Bundle* bundle)
    : ViewController(std::move(nibName), bundle) {}

void TLYTrackedViewController::viewDidAppear(bool animated) {
    ViewController::viewDidAppear(animated);
    if (!screenName_) {
        TLY_INFO("-[TLYTrackedViewController viewDidAppear:]", "Tracked view controller missing view name.");
        return;
    }
    std::shared_ptr<TLYTracker> tracker = tracker_ ? tracker_ : TLY::sharedInstance().defaultTracker();
    if (!tracker) return;
    tracker->tly_set(kTLYScreenName, Value(*screenName_));
    tracker->tly_send(Value(Value::Dictionary{{kTLYHitType, Value(kTLYScreenView)}}));
}

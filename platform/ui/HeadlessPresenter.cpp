#include "platform/ui/HeadlessPresenter.h"

#include "platform/foundation/Error.h"

namespace platform::ui {

bool HeadlessPresenter::snapshot(const std::string& path, foundation::Error* error) {
    if (!window_) {
        if (error) *error = foundation::Error::withDescription("QuenmiraUIErrorDomain", 1, "no window to snapshot");
        return false;
    }
    return window_->writePNG(path, error);
}

}  // namespace platform::ui

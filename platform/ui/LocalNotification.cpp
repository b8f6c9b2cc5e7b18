#include "platform/ui/LocalNotification.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/SharedLibrary.h"
#include "platform/foundation/Timer.h"

namespace pf = platform::foundation;

namespace platform::ui {

namespace {

// libnotify, opened on the first notification: a process that never notifies
// does not load it, nor the bus libraries under it. The few calls are declared
// here with their C types (gboolean is int).
struct NotifyLibrary {
    using Init = int (*)(const char*);
    using IsInitted = int (*)();
    using New = void* (*)(const char*, const char*, const char*);
    using SetHintString = void (*)(void*, const char*, const char*);
    using Show = int (*)(void*, void**);
    using Unref = void (*)(void*);
    struct ErrorView {  // GError's leading members
        uint32_t domain;
        int code;
        char* message;
    };

    std::unique_ptr<pf::SharedLibrary> library;
    Init init = nullptr;
    IsInitted isInitted = nullptr;
    New create = nullptr;
    SetHintString setHintString = nullptr;
    Show show = nullptr;
    Unref objectUnref = nullptr;
    Unref errorFree = nullptr;

    static std::unique_ptr<NotifyLibrary> open(std::string* error) {
        auto l = std::make_unique<NotifyLibrary>();
        l->library = pf::SharedLibrary::open("libnotify.so.4", error);
        const bool ok = l->library && l->library->resolve(l->init, "notify_init", error) &&
                        l->library->resolve(l->isInitted, "notify_is_initted", error) &&
                        l->library->resolve(l->create, "notify_notification_new", error) &&
                        l->library->resolve(l->setHintString, "notify_notification_set_hint_string", error) &&
                        l->library->resolve(l->show, "notify_notification_show", error) &&
                        l->library->resolve(l->objectUnref, "g_object_unref", error) &&
                        l->library->resolve(l->errorFree, "g_error_free", error);
        if (ok) return l;
        pf::log("Desktop notifications are off: " + *error);
        return nullptr;
    }
};

constinit pf::LazyLibrary<NotifyLibrary> gNotifyLibrary(&NotifyLibrary::open);

struct Scheduled {
    LocalNotification notification;
    std::shared_ptr<pf::Timer> timer;
};

struct State {
    std::mutex mutex;
    std::vector<Scheduled> scheduled;
    std::vector<LocalNotification> delivered;
    LocalNotifications::Presenter presenter;
};

State& state() {
    static State s;
    return s;
}

std::string appName() {
    const auto& main = pf::Bundle::main();
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        const pf::Value v = main.objectForInfoDictionaryKey(key);
        if (v.isString() && !v.string().empty()) return v.string();
    }
    return "Quenmira";
}

void present(const LocalNotification& n) {
    LocalNotifications::Presenter presenter;
    {
        std::lock_guard lock(state().mutex);
        state().delivered.push_back(n);
        presenter = state().presenter;
    }
    const bool shown = presenter ? presenter(n) : LocalNotifications::presentOnDesktop(n);
    if (!shown) pf::log("Local notification (no notification service): " + n.alertBody);
}

}  // namespace

bool LocalNotifications::presentOnDesktop(const LocalNotification& n) {
    static std::mutex showMutex;
    std::lock_guard lock(showMutex);
    const NotifyLibrary* lib = gNotifyLibrary.get();
    if (!lib) return false;
    const std::string name = appName();
    if (!lib->isInitted() && !lib->init(name.c_str())) return false;
    void* notification = lib->create(name.c_str(), n.alertBody.c_str(), nullptr);
    if (!notification) return false;
    if (!n.soundName.empty())
        if (auto path = pf::Bundle::main().pathForResource(n.soundName, ""))
            lib->setHintString(notification, "sound-file", path->c_str());
    void* error = nullptr;
    const bool shown = lib->show(notification, &error) != 0;
    if (error) {
        pf::log(std::string("The notification service refused a notification: ") +
                static_cast<NotifyLibrary::ErrorView*>(error)->message);
        lib->errorFree(error);
    }
    lib->objectUnref(notification);
    return shown;
}

void LocalNotifications::scheduleLocalNotification(const LocalNotification& notification) {
    const double delay = std::max(0.0, notification.fireDate - pf::Clock::current().now());
    auto timer = pf::Timer::scheduled(
        delay, false,
        [](pf::Timer& fired) {
            std::optional<LocalNotification> due;
            {
                std::lock_guard lock(state().mutex);
                auto& list = state().scheduled;
                for (auto it = list.begin(); it != list.end(); ++it)
                    if (it->timer.get() == &fired) {
                        due = it->notification;
                        list.erase(it);
                        break;
                    }
            }
            if (due) present(*due);
        },
        &pf::RunLoop::main());
    std::lock_guard lock(state().mutex);
    state().scheduled.push_back({notification, timer});
}

void LocalNotifications::presentLocalNotificationNow(const LocalNotification& notification) { present(notification); }

void LocalNotifications::cancelAllLocalNotifications() {
    std::vector<Scheduled> cancelled;
    {
        std::lock_guard lock(state().mutex);
        cancelled.swap(state().scheduled);
    }
    for (auto& s : cancelled) s.timer->invalidate();
}

std::vector<LocalNotification> LocalNotifications::scheduledLocalNotifications() {
    std::lock_guard lock(state().mutex);
    std::vector<LocalNotification> out;
    for (auto& s : state().scheduled) out.push_back(s.notification);
    return out;
}

std::vector<LocalNotification> LocalNotifications::delivered() {
    std::lock_guard lock(state().mutex);
    return state().delivered;
}

void LocalNotifications::clearDelivered() {
    std::lock_guard lock(state().mutex);
    state().delivered.clear();
}

void LocalNotifications::setPresenter(Presenter presenter) {
    std::lock_guard lock(state().mutex);
    state().presenter = std::move(presenter);
}

}  // namespace platform::ui

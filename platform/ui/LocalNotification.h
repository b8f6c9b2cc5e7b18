#pragma once
// The application's local notifications: scheduled on the main run loop for a
// wall-clock date (on the process clock, so a manual clock fires them), or
// presented at once. Presenting shows a desktop notification through the
// freedesktop notification service (libnotify, opened on first use); where no
// such service runs, or libnotify is missing, the notification goes to the log
// instead. The sound is handed to the service as the bundle file to play.
#include <functional>
#include <string>
#include <vector>

namespace platform::ui {

struct LocalNotification {
    double fireDate = 0;    // seconds since 1970
    std::string soundName;  // a main-bundle resource with its extension, or ""
    std::string alertBody;
};

class LocalNotifications {
public:
    static void scheduleLocalNotification(const LocalNotification& notification);
    static void presentLocalNotificationNow(const LocalNotification& notification);
    static void cancelAllLocalNotifications();
    static std::vector<LocalNotification> scheduledLocalNotifications();

    // Every notification presented so far, in order, whichever way it was shown.
    static std::vector<LocalNotification> delivered();
    static void clearDelivered();

    // Shows one notification; answers false when no notification service took it.
    using Presenter = std::function<bool(const LocalNotification&)>;
    // Replaces the desktop service (null restores it).
    static void setPresenter(Presenter presenter);
    // The desktop service: libnotify over the session bus.
    static bool presentOnDesktop(const LocalNotification& notification);
};

}  // namespace platform::ui

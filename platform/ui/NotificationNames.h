#pragma once
// The platform's notification names, exactly as system code observes them.
namespace platform::ui {

inline constexpr const char* kDeviceBatteryLevelDidChangeNotification = "UIDeviceBatteryLevelDidChangeNotification";
inline constexpr const char* kDeviceBatteryStateDidChangeNotification = "UIDeviceBatteryStateDidChangeNotification";
inline constexpr const char* kScreenBrightnessDidChangeNotification = "UIScreenBrightnessDidChangeNotification";

inline constexpr const char* kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* kApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

// Launch-option keys of the did-finish-launching user info.
inline constexpr const char* kApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* kApplicationLaunchOptionsSourceApplicationKey =
    "UIApplicationLaunchOptionsSourceApplicationKey";
inline constexpr const char* kApplicationLaunchOptionsAnnotationKey = "UIApplicationLaunchOptionsAnnotationKey";

}  // namespace platform::ui

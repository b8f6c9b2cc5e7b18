#pragma once
// The remaining-time figures of the main screen, computed from plain inputs so
// that they run without a screen: BatteryEstimate::compute() turns a charge
// fraction and the device facts into every label text and row flag, and
// BatteryRefresh holds the refresh's own decisions (debounce, full-battery
// sound, the one-time row shift). MainViewController gathers the inputs from
// the platform and applies the result to its views.
#include <cstdint>
#include <optional>
#include <string>

// Hours at full charge for one device model. 0 means the device lacks the activity.
struct BatteryDeviceRow {
    float charge;  // empty to full
    float standby;
    float video;
    float music;
    float wifi;    // web over Wi-Fi
    float mobile;  // web over the mobile network
    float talk3G;
    float talk2G;
};

// The localized words the figures use ("hour", "hours", "min", "mobile",
// "standby" of the table "BatteryLocalizable").
struct BatteryWords {
    std::string hour, hours, min, mobile, standby;
    static BatteryWords localized();  // from the main bundle
    static BatteryWords keys();       // each word equal to its key
};

struct BatteryEstimateInput {
    int32_t deviceIndex = -1;          // DeviceDetection::detectDevice()
    float chargeFraction = 1.0f;       // BatteryInfo::getBatteryMultiplier(), in (0, 1]
    float healthPercent = 0.0f;        // user default "healthPercent"; 0 when absent
    std::optional<double> brightness;  // 0..1; none when the screen has no brightness
    bool charging = false;             // battery state charging or full
    bool tablet = false;               // TwkUtils::onIPad()
    bool camera = false;               // a camera image source exists
    bool frontCamera = false;
    bool flash = false;   // the rear camera has a flash
    bool carrier = true;  // no telephony info, or a carrier name is known
};

struct BatteryEstimate {
    // Hours at the current charge -> text.
    static std::string getFormattedTime(float hours, bool shortVersion, const BatteryWords& words);
    // The table row for a device index; the default row outside 0..32.
    static const BatteryDeviceRow& rowForDevice(int32_t index);
    static BatteryEstimate compute(const BatteryEstimateInput& input, const BatteryWords& words);

    // Texts, by label.
    std::string labelTimeChargeTime;
    std::string labelTimeGames2D, labelTimeGames3D, labelTimeVideoChat, labelTimeVideoRecording;
    std::string labelTimeTakingPhotos, labelTimeReading, labelTimeGPSNavigation, labelTimeFlashlight;
    std::string labelTimeMusic, labelTimeVideo, labelTimeNetWifi, labelTimeNet3G;
    std::string labelTimeTalk, labelTimeTalk3G, labelStandby, labelPercentage;

    // Alpha of labelChargeTime, labelTimeChargeTime and imageChargeTimeIcon.
    double chargeAlpha = 0.7;
    bool imageChargingHidden = true;

    // Rows that are only ever hidden by a refresh (true: hide; false: leave as they are).
    bool hidePhotosRow = false;          // labelTakePhotos, labelTimeTakingPhotos, iconVideo
    bool hideVideoRecordingRow = false;  // labelVideoRecord, labelTimeVideoRecording
    bool hideVideoChatRow = false;       // labelVideoChat, labelTimeVideoChat
    bool hideGPSRow = false;             // labelTimeGPSNavigation, labelGPSNavigation
    // Rows set hidden or shown on every refresh.
    bool flashlightRowHidden = true;  // iconFlashlight, labelTimeFlashlight, labelFlashlight, buttonFlashlight
    bool talkRowsHidden = false;      // labelTitleTalk, labelTimeTalk, labelTimeTalk3G, imageTalk
    bool webRowsHidden = false;       // labelTitleWeb, labelTimeNetWifi, imageWeb
    bool net3GHidden = false;         // labelTimeNet3G
    // labelStandby is shown on every refresh.

    // 2G-only phone: labelTitleTalk moves to labelTitleVideo's vertical centre and
    // labelTimeTalk3G to labelTimeVideo's (labelTimeTalk is then empty).
    bool talkRowToVideoRow = false;
    // Phone only: the vertical centre of imageCharging.
    std::optional<double> chargingMarkCenterY;
    // True when the device has no talk rows, so the web rows can take their place
    // (BatteryRefresh decides whether the shift happens on this refresh).
    bool noTalkRows = false;
};

// The one-time shift of the web and music rows into the place of missing talk rows.
struct BatteryRowShift {
    static constexpr double kNetTextsDown = 56.0;  // labelTimeNetWifi, labelTimeNet3G
    static constexpr double kWebTitleDown = 53.0;  // labelTitleWeb
    static constexpr double kWebImageDown = 47.0;  // imageWeb
    static constexpr double kMusicRight = 78.0;    // labelTitleMusic, labelTimeMusic, imageMusic
    static constexpr double kMusicDown = 8.0;
};

// The refresh's decisions, one instance per main screen. The debounce values are
// process-wide, as the settings sheet and the bubbles read and reset them.
class BatteryRefresh {
public:
    struct Outcome {
        BatteryEstimate estimate;
        bool playSound = false;  // play the full-battery sound now (already logged)
        bool shiftRows = false;  // apply BatteryRowShift now
    };

    // Runs the refresh for `input` (its chargeFraction is the fresh reading).
    // Nullopt when the refresh stops early: no level known, or the same fraction
    // and charging state within 3.0 s of the last full refresh (measured on the monotonic clock, so
    // a wall clock set back cannot freeze the screen). `alertOn` is the user
    // default "alerton"; `soundAvailable` whether the sound object exists.
    std::optional<Outcome> refresh(const BatteryEstimateInput& input, const BatteryWords& words, bool alertOn,
                                   bool soundAvailable);

    bool soundAlreadyPlayed() const { return soundAlreadyPlayed_; }
    bool internetBrowsingYFixed() const { return internetBrowsingYFixed_; }

    // Process-wide: the fraction of the last full refresh (-1.0 at start), and
    // its monotonic time (0 at start).
    static float lastMultiplier();
    static void setLastMultiplier(float m);  // the settings sheet's close sets -1.0
    static double lastRefreshTime();
    static void resetProcessState();  // back to the process-start values

    static constexpr double kDebounceSeconds = 3.0;

private:
    bool soundAlreadyPlayed_ = false;
    bool internetBrowsingYFixed_ = false;
};

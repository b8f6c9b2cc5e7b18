#include "app/BatteryEstimate.h"

#include <array>
#include <cmath>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Log.h"

namespace {

using platform::foundation::format;

// Indexed by DeviceDetection's device index.
constexpr std::array<BatteryDeviceRow, 33> kRows = {{
    {2.16f, 240, 11, 50, 11, 10, 14, 14},  // 0 simulator
    {2.16f, 300, 5, 22, 9, 0, 0, 0},       // 1 iPod 1st gen
    {2.16f, 300, 6, 36, 9, 0, 0, 0},       // 2
    {2.16f, 300, 6, 30, 9, 0, 0, 0},       // 3
    {2.16f, 300, 7, 40, 9, 0, 0, 0},       // 4
    {2.16f, 300, 8, 40, 9, 0, 0, 0},       // 5
    {2.16f, 300, 10, 30, 9, 5, 5, 12},     // 6 iPod 6th gen
    {2.16f, 250, 7, 24, 6, 6, 0, 12},      // 7 first phone
    {2.16f, 300, 7, 24, 6, 5, 5, 10},      // 8
    {2.16f, 300, 10, 30, 9, 5, 5, 12},     // 9
    {2.16f, 300, 10, 40, 10, 9, 7, 14},    // 10
    {2.16f, 200, 10, 40, 9, 6, 8, 14},     // 11
    {2.16f, 225, 10, 40, 10, 8, 8, 14},    // 12
    {2.16f, 250, 10, 40, 10, 8, 10, 14},   // 13
    {2.16f, 250, 10, 40, 10, 8, 10, 14},   // 14
    {2.16f, 240, 11, 50, 11, 10, 14, 14},  // 15
    {2.16f, 384, 14, 80, 12, 12, 24, 24},  // 16
    {2.16f, 300, 10, 30, 9, 5, 5, 12},     // 17
    {2.16f, 300, 10, 30, 9, 5, 5, 12},     // 18
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 19 tablets
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 20
    {6.0f, 720, 10, 140, 10, 9, 0, 0},     // 21
    {5.0f, 720, 10, 140, 10, 9, 0, 0},     // 22
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 23
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 24
    {5.0f, 720, 10, 140, 10, 9, 0, 0},     // 25
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 26
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 27
    {2.16f, 300, 10, 30, 9, 5, 5, 12},     // 28
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 29
    {2.16f, 250, 10, 40, 10, 8, 10, 14},   // 30 new phone
    {2.16f, 300, 8, 40, 9, 0, 0, 0},       // 31 new iPod
    {8.5f, 720, 10, 200, 10, 9, 0, 0},     // 32 new tablet
}};

constexpr BatteryDeviceRow kDefaultRow = {2.16f, 300, 10, 30, 9, 5, 5, 12};

// Applied in double precision to V, then stored in single precision.
float fractionOfVideo(double fraction, float video) { return static_cast<float>(fraction * video); }

bool isGPSCapable(int32_t d) {
    const uint32_t bit = static_cast<uint32_t>(d) - 1u;
    return bit > 30u || ((0x3FFFFFA0u >> bit) & 1u) != 0;
}

// Tablet-free "2G:" / "3G:" figures end at the same column in a fixed-width font.
std::string talkText(const char* prefix, const std::string& figure) {
    return std::string(prefix) + (figure.size() < 5 ? "   " : " ") + figure;
}

float gLastMultiplier = -1.0f;
double gLastRefreshTime = 0.0;
bool gLastCharging = false;

}  // namespace

BatteryWords BatteryWords::localized() {
    auto& bundle = platform::foundation::Bundle::main();
    auto word = [&](const char* key) { return bundle.localizedString(key, "", "BatteryLocalizable"); };
    return {word("hour"), word("hours"), word("min"), word("mobile"), word("standby")};
}

BatteryWords BatteryWords::keys() { return {"hour", "hours", "min", "mobile", "standby"}; }

std::string BatteryEstimate::getFormattedTime(float hours, bool shortVersion, const BatteryWords& words) {
    const float h = std::floor(hours);
    // Single precision on purpose: 2.8 hours shows 2:47, as the figures always have.
    const float minutes = std::floor((hours - h) * 60.0f);
    const std::string& hourWord = h <= 1.0f ? words.hour : words.hours;
    std::string text = format("%0.f", static_cast<double>(h));
    text += shortVersion ? ":" : " " + hourWord + " ";
    if (shortVersion && minutes < 10.0f) text += "0";
    text += format("%0.f", static_cast<double>(minutes));
    if (!shortVersion) text += " " + words.min;
    return text;
}

const BatteryDeviceRow& BatteryEstimate::rowForDevice(int32_t index) {
    if (static_cast<uint32_t>(index) < kRows.size()) return kRows[static_cast<size_t>(index)];
    return kDefaultRow;
}

BatteryEstimate BatteryEstimate::compute(const BatteryEstimateInput& in, const BatteryWords& words) {
    BatteryEstimate e;
    const float m = in.chargeFraction;
    const int32_t d = in.deviceIndex;
    const BatteryDeviceRow& row = rowForDevice(d);
    float mobile = row.mobile;
    auto shortTime = [&](float hours) { return getFormattedTime(hours, true, words); };
    auto longTime = [&](float hours) { return getFormattedTime(hours, false, words); };

    e.imageChargingHidden = !in.charging;

    const float p = static_cast<float>(in.healthPercent / 100.0);
    const float L = p > 0.0f ? m * p : m;
    const float B = in.brightness ? static_cast<float>((1.0 - *in.brightness) * 0.2 + 0.9) : 1.0f;

    e.labelTimeChargeTime = shortTime((1.0f - m) * row.charge);
    e.chargeAlpha = in.charging ? 1.0 : 0.7;

    const float games2D = fractionOfVideo(0.4, row.video);
    const float games3D = 0.25f * row.video;
    const float videoChat = fractionOfVideo(0.315, row.video);
    const float photos = fractionOfVideo(0.7, row.video);
    const float gps = fractionOfVideo(0.2, row.video);
    const float flashlight = static_cast<float>(row.video / (in.tablet ? 2.5 : 4.0));
    const float reading = 1.5f * row.wifi;

    e.labelTimeGames2D = shortTime(games2D * L * B);
    e.labelTimeGames3D = shortTime(games3D * L * B);
    e.labelTimeVideoChat = shortTime(videoChat * L * B);
    e.labelTimeVideoRecording = e.labelTimeGames2D;
    e.labelTimeTakingPhotos = shortTime(photos * L * B);
    e.labelTimeReading = shortTime(reading * L * B);
    e.labelTimeGPSNavigation = shortTime(gps * L * B);
    e.labelTimeFlashlight = shortTime(flashlight * L);

    e.hidePhotosRow = !in.camera;
    e.flashlightRowHidden = !in.flash;
    const bool recordingOffered = d != 7 && d != 8 && d != 21;
    e.hideVideoRecordingRow = !recordingOffered || !in.camera;
    e.hideVideoChatRow = !in.frontCamera;

    if (!(isGPSCapable(d) && in.carrier)) {
        e.hideGPSRow = true;
        if (in.tablet) mobile = 0.0f;
    }

    e.labelTimeMusic = longTime(row.music * L);
    e.labelTimeVideo = longTime(row.video * L * B);
    e.labelTimeNetWifi = "WiFi: " + shortTime(row.wifi * L * B);
    e.labelTimeNet3G = (d == 7 ? std::string("Edge") : words.mobile) + ": " + shortTime(mobile * L * B);

    e.labelTimeTalk = talkText("2G:", shortTime(row.talk2G * L));
    e.labelTimeTalk3G = talkText("3G:", shortTime(row.talk3G * L));
    if (!in.tablet && row.talk3G <= 0.0f && row.talk2G > 0.0f) {
        e.talkRowToVideoRow = true;
        e.labelTimeTalk.clear();
        e.labelTimeTalk3G = longTime(row.talk2G * L);
    }

    if (!in.tablet) e.chargingMarkCenterY = m < 0.5f ? 110.0 : 224.0;

    e.labelStandby = words.standby + ": " + longTime(row.standby * L);

    e.noTalkRows = row.talk3G + row.talk2G == 0.0f;
    e.talkRowsHidden = e.noTalkRows;
    e.webRowsHidden = row.wifi + mobile == 0.0f;
    e.net3GHidden = mobile <= 0.0f || e.webRowsHidden;

    e.labelPercentage = format("%.0f %%", static_cast<double>(m) * 100.0);
    return e;
}

std::optional<BatteryRefresh::Outcome> BatteryRefresh::refresh(const BatteryEstimateInput& input,
                                                               const BatteryWords& words, bool alertOn,
                                                               bool soundAvailable) {
    const float m = input.chargeFraction;
    if (m < 0.0f) return std::nullopt;

    const double now = platform::foundation::Clock::current().monotonic();
    // A plug-in is news even at the same level: the charging mark must not wait for the timer.
    if (m == gLastMultiplier && input.charging == gLastCharging && now - gLastRefreshTime < kDebounceSeconds)
        return std::nullopt;
    gLastRefreshTime = now;
    gLastMultiplier = m;
    gLastCharging = input.charging;

    Outcome out;
    if (m < 1.0f) soundAlreadyPlayed_ = false;
    if (alertOn && m >= 1.0f && !soundAlreadyPlayed_ && soundAvailable) {
        platform::foundation::log("Playing fully charged sound!");
        soundAlreadyPlayed_ = true;
        out.playSound = true;
    }

    out.estimate = BatteryEstimate::compute(input, words);

    if (!input.tablet && !internetBrowsingYFixed_) {
        out.shiftRows = out.estimate.noTalkRows;
        internetBrowsingYFixed_ = true;
    }
    return out;
}

float BatteryRefresh::lastMultiplier() { return gLastMultiplier; }
void BatteryRefresh::setLastMultiplier(float m) { gLastMultiplier = m; }
double BatteryRefresh::lastRefreshTime() { return gLastRefreshTime; }

void BatteryRefresh::resetProcessState() {
    gLastMultiplier = -1.0f;
    gLastRefreshTime = 0.0;
    gLastCharging = false;
}

#pragma once
// What the crash manager's tests share: a sandbox and a main bundle of their
// own, a real crash report (a live report of the test's thread), a delegate
// that records what it hears, and a pump for the main run loop.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crash/capture/PKROVCrashReporter.h"
#include "crash/manager/PKRCrashManager.h"
#include "crash/manager/PKRPelkorAppClient.h"
#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"
#include "tests/platform/foundation/TestUtil.h"

namespace uploadtest {

namespace pf = platform::foundation;
using pf::FileManager;

struct Recorder : PKRCrashManagerDelegate {
    std::vector<std::string> events;
    std::vector<pf::Error> errors;
    std::optional<std::string> applicationLog;
    std::shared_ptr<PKRPelkorAttachment> attachment;
    std::optional<std::string> applicationLogForCrashManager(PKRCrashManager&) override { return applicationLog; }
    std::shared_ptr<PKRPelkorAttachment> attachmentForCrashManager(PKRCrashManager&) override { return attachment; }
    void crashManagerWillShowSubmitCrashReportAlert(PKRCrashManager&) override { events.push_back("alert"); }
    void crashManagerWillCancelSendingCrashReport(PKRCrashManager&) override { events.push_back("cancel"); }
    void crashManagerWillSendCrashReportsAlways(PKRCrashManager&) override { events.push_back("always"); }
    void crashManagerWillSendCrashReport(PKRCrashManager&) override { events.push_back("send"); }
    void crashManagerDidFailWithError(PKRCrashManager&, const pf::Error& e) override {
        events.push_back("fail");
        errors.push_back(e);
    }
    void crashManagerDidFinishSendingCrashReport(PKRCrashManager&) override { events.push_back("finish"); }
    int count(const std::string& e) const { return int(std::count(events.begin(), events.end(), e)); }
};

class CrashManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        pf::Sandbox::setHome(home_.path);
        pf::UserDefaults::resetStandard();
        FileManager::writeFileAtomically(bundle_.file("Info.plist"), R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>org.quenmira.battery</string>
<key>CFBundleExecutable</key><string>Quen&lt;mira]]&gt;</string>
<key>CFBundleVersion</key><string>1.0.0</string>
<key>CFBundleShortVersionString</key><string>1.0</string>
</dict></plist>)");
        FileManager::copy(std::string(QM_SOURCE_DIR) + "/resources/PelkorSDKResources.bundle",
                          bundle_.file("PelkorSDKResources.bundle"));
        pf::Bundle::setMainBundlePath(bundle_.path);
        platform::ui::Application::resetShared();
        platform::ui::Application::shared().becomeActive();
    }
    void TearDown() override {
        // Background work (the installation's identifier stored in the
        // keychain) ends in this test's sandbox, not in the next test's.
        pf::dispatch::drainGlobalQueues();
        manager_.reset();
        for (auto& alert : platform::ui::Alert::pending()) alert->dismissWithClickedButtonIndex(-1, false);
        pf::RunLoop::main().reset();
        pf::Clock::setCurrent(nullptr);
        platform::ui::Application::resetShared();
        pf::Bundle::setMainBundlePath(QM_BUNDLE_DIR);
        pf::UserDefaults::resetStandard();
    }

    // A crash manager with status 2 talking to `baseURL`.
    std::shared_ptr<PKRCrashManager> makeManager(const std::string& baseURL, uint64_t status = 2) {
        manager_ = std::make_shared<PKRCrashManager>(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), 99);
        manager_->setCrashManagerStatus(status);
        manager_->setPelkorAppClient(std::make_shared<PKRPelkorAppClient>(baseURL + "/"));
        manager_->setDelegate(&recorder_);
        return manager_;
    }
    static std::vector<uint8_t> liveReport() {
        static std::vector<uint8_t> bytes = [] {
            PKROVCrashReporter reporter("org.quenmira.battery", "1.0.0", std::string("1.0"), nullptr);
            return reporter.generateLiveReport().value_or(std::vector<uint8_t>{});
        }();
        return bytes;
    }
    // A report file of the manager's folder, with its meta data; its path.
    std::string addReport(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = FileManager::joinPath(manager_->crashesDir(), name);
        FileManager::writeFileAtomically(path, bytes.data(), bytes.size());
        manager_->storeMetaDataForCrashReportFilename(
            FileManager::lastPathComponent(PKRCrashManager::companionBase(path)));
        return path;
    }
    std::string addReport(const std::string& name) { return addReport(name, liveReport()); }
    // Runs the main loop until `done` holds (at most `seconds` of real time).
    static bool pump(const std::function<bool()>& done, double seconds = 30) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            pf::RunLoop::main().runOnce(0.02);
        }
        return true;
    }
    // The run that starts 0.5 s after a trigger, until its upload is answered.
    void sendAndWait() {
        manager_->invokeDelayedProcessing();
        EXPECT_TRUE(pump([&] { return !manager_->sendingInProgress(); }));
    }
    // A later launch's run: a new crash manager, until every upload it began
    // is answered. A report deleted unsent ends a run that stays "sending".
    void launchAndRun(const std::string& baseURL) {
        recorder_ = Recorder();
        makeManager(baseURL);
        manager_->invokeDelayedProcessing();
        EXPECT_TRUE(pump([&] {
            return !manager_->sendingInProgress() ||
                   recorder_.count("finish") + recorder_.count("fail") >= recorder_.count("send");
        }));
    }

    foundation_test::TempDir home_, bundle_;
    Recorder recorder_;
    std::shared_ptr<PKRCrashManager> manager_;
};

}  // namespace uploadtest

// The upload of pending reports to a loopback service that keeps the bytes it
// receives: the request and body the service gets, what each kind of answer
// does to the report, reports that cannot be sent, and the approval question.
#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>

#include "crash/capture/report/PKROVCrashReport.h"
#include "crash/manager/PKRCrashReportTextFormatter.h"
#include "crash/manager/PKRKeychainUtils.h"
#include "platform/foundation/Log.h"
#include "platform/security/Keychain.h"
#include "tests/crash/manager/crash_upload_support.h"
#include "tests/support/RawHttpService.h"
#include "tests/support/ShellTools.h"

using namespace uploadtest;
using qmtest::RawHttpService;
using Answer = RawHttpService::Answer;
using platform::foundation::Value;

namespace {

class CrashUpload : public CrashManagerTest {};

std::string textPart(const std::string& boundary, const std::string& key, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + key + "\"\r\nContent-Type: text\r\n\r\n" +
           value + "\r\n";
}

std::string uuidString(const PKROVCrashReport& report) {
    const auto& u = *report.uuidRef();
    char buf[40];
    snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1], u[2],
             u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    return buf;
}

std::string boundaryOf(const RawHttpService::Request& r) {
    const std::string type = r.header("Content-type");
    return type.substr(type.find("boundary=") + 9);
}

// A peer process that holds the sandbox's keychain until released (at most a
// minute), so that every call on it meanwhile answers "cannot be used now".
class KeychainHolder {
public:
    KeychainHolder() : release_(dir_.file("release")) {
        const std::string script = dir_.file("hold.py");
        FileManager::writeFileAtomically(script,
                                         "import os, sqlite3, sys, time\n"
                                         "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                         "db.execute('BEGIN EXCLUSIVE')\nprint('locked', flush=True)\n"
                                         "end = time.monotonic() + 60\n"
                                         "while not os.path.exists(sys.argv[2]) and time.monotonic() < end:\n"
                                         "    time.sleep(0.01)\n"
                                         "db.execute('COMMIT')\n");
        peer_ = std::make_unique<qmtest::Started>(
            std::vector<std::string>{"python3", script, platform::security::Keychain::path(), release_});
        locked_ = peer_->line() == "locked\n";
    }
    ~KeychainHolder() { release(); }
    bool locked() const { return locked_; }
    void release() {
        if (!peer_) return;
        FileManager::writeFileAtomically(release_, std::string("go"));
        peer_.reset();
    }

private:
    foundation_test::TempDir dir_;
    std::string release_;
    std::unique_ptr<qmtest::Started> peer_;
    bool locked_ = false;
};

}  // namespace

TEST_F(CrashUpload, OneReportGoesWithTheServicesHeadersPartsAndXmlAndIsGoneAfterA2xx) {
    RawHttpService service([](const auto&) {
        return Answer{201, RawHttpService::plist("<dict><key>id</key><integer>7</integer></dict>")};
    });
    makeManager(service.baseURL());
    recorder_.applicationLog = "first line";
    const std::string path = addReport("600000000");
    sendAndWait();

    auto requests = service.requests();
    ASSERT_EQ(1u, requests.size());
    const auto& r = requests[0];
    EXPECT_EQ("POST /api/2/apps/5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41/crashes HTTP/1.1", r.requestLine());
    EXPECT_EQ("PelkorSDK/iOS", r.header("User-Agent"));
    EXPECT_EQ("gzip", r.header("Accept-Encoding"));
    EXPECT_EQ("multipart/form-data; boundary=----FOO", r.header("Content-type"));

    auto report = PKROVCrashReport::initWithData(liveReport(), nullptr);
    ASSERT_TRUE(report);
    const std::string install = app_anonymous_id().value_or("");
    // The name is a CDATA section: its "]]>" is split; other values are element text.
    const std::string xml =
        "<crashes><crash><applicationname><![CDATA[Quen<mira]]]]><![CDATA[>]]></applicationname><uuids>" +
        manager_->extractAppUUIDs(*report) + "</uuids><bundleidentifier>org.quenmira.battery</bundleidentifier>" +
        "<systemversion>" + report->systemInfo()->operatingSystemVersion() + "</systemversion><platform>" +
        manager_->getDevicePlatform() + "</platform><senderversion>1.0.0</senderversion><versionstring>1.0" +
        "</versionstring><version>1.0.0</version><uuid>" + uuidString(*report) + "</uuid><log><![CDATA[" +
        PKRCrashReportTextFormatter::stringValueForCrashReport(*report, install) +
        "]]></log><userid></userid><username></username><contact></contact><installstring>" + install +
        "</installstring><description><![CDATA[Log:\nfirst line]]></description></crash></crashes>";
    // Four parts, then the closing delimiter right after the last part's own line end.
    const std::string body = textPart("----FOO", "sdk", "PelkorSDK") + textPart("----FOO", "sdk_version", "3.8.6") +
                             textPart("----FOO", "feedbackEnabled", "no") +
                             "------FOO\r\nContent-Disposition: form-data; name=\"xml\"; filename=\"crash.xml\"\r\n"
                             "Content-Type: text/xml\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
                             xml + "\r\n------FOO--\r\n";
    EXPECT_EQ(body, r.body);
    EXPECT_NE(std::string::npos, r.body.find("Exception Type:  SIGTRAP"));

    EXPECT_FALSE(FileManager::exists(path));
    EXPECT_FALSE(FileManager::exists(path + ".meta"));
    EXPECT_EQ((std::vector<std::string>{"send", "finish"}), recorder_.events);
}

TEST_F(CrashUpload, EachAnswerKeepsOrDeletesTheReport) {
    struct Case {
        const char* name;
        Answer answer;
        bool kept;
        int64_t code;  // of the error the delegate hears; 0 none, -1 a transport error, -2 the body's parse error
    };
    const std::string plist = RawHttpService::plist();
    const std::vector<Case> cases = {
        {"200 with a property list", {200, plist}, false, 0},
        {"200 with another body: taken, and the body's fault said", {200, "fine"}, false, -2},
        {"200 empty: the service may not have kept it", {200, ""}, true, 2},
        {"201 empty", {201, ""}, true, 2},
        {"302 with a body and nowhere to go", {302, plist}, false, 0},
        {"302 empty", {302, ""}, true, 2},
        {"400", {400, "no"}, false, 1},
        {"404", {404, "gone"}, true, 3},
        {"500", {500, "oops"}, true, 3},
        {"a stopped service", {}, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawHttpService service([&](const auto&) { return c.answer; });
        if (c.code == -1) service.stop();
        recorder_ = Recorder();
        makeManager(service.baseURL());
        const std::string path = addReport("600000001");
        sendAndWait();
        EXPECT_EQ(c.kept, FileManager::exists(path));
        EXPECT_EQ(c.kept, FileManager::exists(path + ".meta"));
        EXPECT_EQ(c.code == -1 ? 0u : 1u, service.requests().size());
        if (c.code == 0) {
            EXPECT_EQ((std::vector<std::string>{"send", "finish"}), recorder_.events);
        } else if (c.code == -2) {
            EXPECT_EQ((std::vector<std::string>{"send", "finish", "fail"}), recorder_.events);
            ASSERT_EQ(1u, recorder_.errors.size());
            EXPECT_EQ(pf::kCocoaErrorDomain, recorder_.errors[0].domain);
        } else {
            ASSERT_EQ(1u, recorder_.errors.size());
            const auto& e = recorder_.errors[0];
            if (c.code == -1) {
                EXPECT_NE(kPKRCrashReporterErrorDomain, e.domain);
            } else {
                EXPECT_EQ(kPKRCrashReporterErrorDomain, e.domain);
                EXPECT_EQ(c.code, e.code);
            }
            if (c.answer.status == 500) {
                EXPECT_EQ("Sending failed with status code: 500", e.localizedDescription());
            }
        }
        FileManager::remove(path);
        FileManager::remove(path + ".meta");
    }
}

// The service may name another place for the report: it is posted again
// there, and only that place's answer decides.
TEST_F(CrashUpload, ARedirectedReportIsPostedWhereTheRedirectPointsAndDeletedOnlyWhenTakenThere) {
    struct Case {
        int redirect;
        Answer there;
        bool kept;
    };
    for (const Case& c :
         {Case{307, {201, RawHttpService::plist()}, false}, Case{308, {200, RawHttpService::plist()}, false},
          Case{307, {500, "busy"}, true}, Case{308, {200, ""}, true}}) {
        SCOPED_TRACE(std::to_string(c.redirect) + " then " + std::to_string(c.there.status));
        RawHttpService service([&](const RawHttpService::Request& r) {
            if (r.requestLine().find(" /v2/crashes ") != std::string::npos) return c.there;
            return Answer{c.redirect, "moved", "Location: /v2/crashes\r\n"};
        });
        recorder_ = Recorder();
        makeManager(service.baseURL());
        const std::string path = addReport("600000005");
        sendAndWait();
        const auto requests = service.requests();
        ASSERT_EQ(2u, requests.size());
        EXPECT_EQ("POST /v2/crashes HTTP/1.1", requests[1].requestLine());
        EXPECT_EQ(requests[0].body, requests[1].body);
        EXPECT_NE(std::string::npos, requests[1].body.find("<crashes><crash>"));
        EXPECT_EQ(c.kept, FileManager::exists(path));
        EXPECT_EQ(c.kept ? 1 : 0, recorder_.count("fail"));
        EXPECT_EQ(c.kept ? 0 : 1, recorder_.count("finish"));
        FileManager::remove(path);
        FileManager::remove(path + ".meta");
    }
}

TEST_F(CrashUpload, ARunGoesOnAfterEach2xxAndEndsAtTheFirstFailure) {
    int n = 0;
    RawHttpService service([&](const auto&) {
        return ++n == 2 ? Answer{500, "busy"} : Answer{200, RawHttpService::plist()};
    });
    makeManager(service.baseURL());
    const std::string a = addReport("600000010"), b = addReport("600000011"), c = addReport("600000012");
    sendAndWait();
    EXPECT_EQ(2u, service.requests().size());
    EXPECT_FALSE(FileManager::exists(a));
    EXPECT_TRUE(FileManager::exists(b));
    EXPECT_TRUE(FileManager::exists(c));
    // The next run starts again with what is left.
    manager_ = nullptr;
    makeManager(service.baseURL());
    sendAndWait();
    EXPECT_EQ(4u, service.requests().size());
    EXPECT_FALSE(FileManager::exists(b));
    EXPECT_FALSE(FileManager::exists(c));
}

TEST_F(CrashUpload, ASlowServiceTimesOutOnTheManualClockAndTheReportStays) {
    auto clock = std::make_shared<platform::foundation::ManualClock>(platform::foundation::SystemClock().now());
    platform::foundation::Clock::setCurrent(clock);
    RawHttpService service([](const auto&) { return Answer{200, "", "", true}; });
    makeManager(service.baseURL());
    const std::string path = addReport("600000020");
    manager_->invokeDelayedProcessing();
    ASSERT_TRUE(service.waitForRequests(1));
    EXPECT_FALSE(pump([&] { return !manager_->sendingInProgress(); }, 0.3));
    clock->advance(61);
    EXPECT_TRUE(pump([&] { return !manager_->sendingInProgress(); }));
    EXPECT_TRUE(FileManager::exists(path));
    ASSERT_EQ(1u, recorder_.errors.size());
    EXPECT_NE(kPKRCrashReporterErrorDomain, recorder_.errors[0].domain);
}

TEST_F(CrashUpload, AnAppKillReportIsEscapedAndItsAttachmentChoosesTheBoundary) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    // An attachment that holds the usual delimiter.
    const std::string tricky = "a\r\n------FOO\r\nb";
    recorder_.attachment = std::make_shared<PKRPelkorAttachment>(
        std::string("f.bin"), Value::Data(tricky.begin(), tricky.end()), std::string("application/x-test"));
    recorder_.applicationLog = "app log";
    Value::Dictionary fake = {{"PKRFakeCrashUUID", "U-1"},
                              {"PKRFakeCrashAppVersion", "1.0.0"},
                              {"PKRFakeCrashAppBundleIdentifier", "a<b&c"},
                              {"PKRFakeCrashOSVersion", "9.3"},
                              {"PKRFakeCrashDeviceModel", "iPhone7,2"},
                              {"PKRFakeCrashAppBinaryUUID", "<uuid type=\"app\" arch=\"arm64\">ab</uuid>"},
                              {"PKRFakeCrashAppString", "x ]]> y"}};
    const std::string path = addReport("600000030.fake", Value(fake).toBinaryPropertyList());
    manager_->setLastCrashFilename(std::string("600000030.fake"));
    PKRCrashMetaData meta;
    meta.setUserDescription(std::string("it broke ]]> here"));
    manager_->persistUserProvidedMetaData(&meta);
    const std::string base = FileManager::joinPath(manager_->crashesDir(), "600000030");
    for (const char* companion : {".meta", ".data", ".desc"})
        EXPECT_TRUE(FileManager::exists(base + companion)) << companion;
    sendAndWait();

    ASSERT_EQ(1u, service.requests().size());
    const auto r = service.requests()[0];
    const std::string boundary = boundaryOf(r);
    EXPECT_NE("----FOO", boundary);
    EXPECT_EQ(std::string::npos, tricky.find("--" + boundary));
    EXPECT_EQ(5, qmtest::occurrences(r.body, "--" + boundary + "\r\n"));
    const std::string attachmentPart =
        "--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"attachment0\"; filename=\"f.bin\"\r\n"
        "Content-Type: application/x-test\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
        tricky + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(attachmentPart, r.body.substr(r.body.size() - attachmentPart.size()));
    EXPECT_NE(std::string::npos, r.body.find("<bundleidentifier>a&lt;b&amp;c</bundleidentifier>"));
    EXPECT_NE(std::string::npos, r.body.find("<uuids><uuid type=\"app\" arch=\"arm64\">ab</uuid></uuids>"));
    EXPECT_NE(std::string::npos, r.body.find("<log><![CDATA[x ]]]]><![CDATA[> y]]></log>"));
    EXPECT_NE(std::string::npos,
              r.body.find("<description><![CDATA[it broke ]]]]><![CDATA[> here\n\nLog:\napp log]]></description>"));
    EXPECT_FALSE(FileManager::exists(path));
    for (const char* companion : {".meta", ".data", ".desc"})
        EXPECT_FALSE(FileManager::exists(base + companion)) << companion;
}

TEST_F(CrashUpload, AReportThatCannotBeSentIsDeletedAndEndsItsProcesssSending) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    const std::string garbage = addReport("600000040", {'n', 'o', 'p', 'e'});
    const std::string noText =
        addReport("600000041.fake", Value(Value::Dictionary{{"PKRFakeCrashUUID", "U"}}).toBinaryPropertyList());
    const std::string good = addReport("600000042");
    manager_->invokeDelayedProcessing();
    EXPECT_FALSE(FileManager::exists(garbage));
    EXPECT_TRUE(FileManager::exists(noText));
    // No answer comes for it, so the run stays "sending": nothing more goes
    // in this process, and nothing is said.
    EXPECT_TRUE(manager_->sendingInProgress());
    manager_->invokeDelayedProcessing();
    EXPECT_TRUE(FileManager::exists(noText));
    EXPECT_TRUE(recorder_.events.empty());

    launchAndRun(service.baseURL());
    EXPECT_FALSE(FileManager::exists(noText));
    EXPECT_TRUE(FileManager::exists(good));
    EXPECT_EQ(0u, service.requests().size());

    launchAndRun(service.baseURL());
    EXPECT_EQ(1u, service.requests().size());
    EXPECT_FALSE(FileManager::exists(good));
    EXPECT_EQ((std::vector<std::string>{"send", "finish"}), recorder_.events);
    EXPECT_FALSE(manager_->sendingInProgress());
}

TEST_F(CrashUpload, AReportThatCannotBeOpenedForNowStaysForTheNextRun) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    const std::string path = addReport("600000050");
    ASSERT_TRUE(manager_->hasPendingCrashReport());
    // Under another holder's lease the file answers "not now" to an open that
    // will not wait, as the manager's will not. Every descriptor stays free:
    // the run, and the sanitizers' own checks in it, need some.
    const int held = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const auto breakSignal = signal(SIGIO, SIG_IGN);
    ASSERT_EQ(0, fcntl(held, F_SETLEASE, F_WRLCK)) << strerror(errno);
    manager_->sendNextCrashReport();
    fcntl(held, F_SETLEASE, F_UNLCK);
    close(held);
    signal(SIGIO, breakSignal);
    EXPECT_TRUE(FileManager::exists(path));
    ASSERT_EQ(1u, recorder_.errors.size());
    EXPECT_EQ(PKRCrashReportUnreadable, recorder_.errors[0].code);
    EXPECT_FALSE(manager_->sendingInProgress());
    sendAndWait();
    EXPECT_EQ(1u, service.requests().size());
    EXPECT_FALSE(FileManager::exists(path));
}

TEST_F(CrashUpload, AReportWaitsWhileTheKeychainCannotBeUsedAndGoesWithItsIdentityOnceItCan) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    ASSERT_TRUE(PKRKeychainUtils::storeUsername(std::string(kPKRAnonymousIDKey), std::string("INSTALL-7"),
                                                keychain_service_name(), true));
    makeManager(service.baseURL());
    ASSERT_TRUE(manager_->addStringValueToKeychain(std::string("Ada"), std::string("PKRPelkorMetaUserName")));
    // First the installation's identifier cannot be read, then (once it is
    // known to the process) the user's values stored with the report.
    size_t sent = 0;
    for (const char* name : {"600000055", "600000056"}) {
        SCOPED_TRACE(name);
        const std::string path = addReport(name);
        recorder_ = Recorder();
        KeychainHolder holder;
        ASSERT_TRUE(holder.locked());
        sendAndWait();
        EXPECT_EQ(sent, service.requests().size());
        EXPECT_TRUE(FileManager::exists(path));
        ASSERT_EQ(1u, recorder_.errors.size());
        EXPECT_EQ(PKRCrashReportUnreadable, recorder_.errors[0].code);

        holder.release();
        sendAndWait();
        ASSERT_EQ(++sent, service.requests().size());
        const std::string body = service.requests().back().body;
        EXPECT_NE(std::string::npos, body.find("<username>Ada</username>"));
        EXPECT_NE(std::string::npos, body.find("<installstring>INSTALL-7</installstring>"));
        EXPECT_FALSE(FileManager::exists(path));
    }
}

TEST_F(CrashUpload, TheApprovalAlertAsksOnceAndEachButtonDoesItsPart) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    for (int button : {0, 1, 2}) {
        SCOPED_TRACE(button);
        pf::UserDefaults::standard().removeObject("PKRCrashManagerStatus");
        recorder_ = Recorder();
        makeManager(service.baseURL(), PKRCrashManager::kAlwaysAsk);
        const size_t before = service.requests().size();
        const std::string path = addReport("60000006" + std::to_string(button));
        manager_->invokeDelayedProcessing();
        manager_->invokeDelayedProcessing();  // activated again while it is open
        auto alerts = platform::ui::Alert::pending();
        ASSERT_EQ(1u, alerts.size());
        ASSERT_EQ(3, alerts[0]->numberOfButtons());
        EXPECT_EQ("Don't Send", alerts[0]->buttonTitleAtIndex(0));
        EXPECT_EQ("Send Report", alerts[0]->buttonTitleAtIndex(1));
        EXPECT_EQ("Always Send", alerts[0]->buttonTitleAtIndex(2));
        EXPECT_NE(std::string::npos, alerts[0]->title().find("Unexpectedly Quit"));
        alerts[0]->clickButtonAtIndex(button);
        EXPECT_TRUE(pump([&] { return button == 0 || !manager_->sendingInProgress(); }));
        // After "Don't Send" nothing more is asked or sent in this process.
        EXPECT_EQ(button == 0, manager_->sendingInProgress());
        EXPECT_EQ(recorder_.events.front(), "alert");
        EXPECT_FALSE(FileManager::exists(path));
        EXPECT_EQ(button == 0 ? before : before + 1, service.requests().size());
        EXPECT_EQ(button == 0 ? 1 : 0, recorder_.count("cancel"));
        EXPECT_EQ(button == 2 ? 1 : 0, recorder_.count("always"));
        EXPECT_EQ(button == 2 ? 2 : 1, pf::UserDefaults::standard().integerForKey("PKRCrashManagerStatus"));
    }
}

TEST_F(CrashUpload, NamesAreUniqueAndApprovalNeedsACurrentReport) {
    platform::foundation::Clock::setCurrent(std::make_shared<platform::foundation::ManualClock>(1.7e9));
    makeManager("http://127.0.0.1:9");
    const std::string first = manager_->newCrashFilename();
    EXPECT_EQ(std::to_string(int64_t(1.7e9 - 978307200)), first);
    addReport(first);
    const std::string second = manager_->newCrashFilename();
    EXPECT_NE(first, second);
    EXPECT_EQ(second.find_first_not_of("0123456789"), std::string::npos);
    manager_->approveLatestCrashReport();
    EXPECT_TRUE(manager_->approvedCrashReports().empty());
}

TEST_F(CrashUpload, HeadersAndXmlCarryNoValueAsMarkup) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    const std::string data = "x";
    recorder_.attachment = std::make_shared<PKRPelkorAttachment>(std::string("a\"\r\nX-Injected: 1\r\n.bin"),
                                                                 Value::Data(data.begin(), data.end()),
                                                                 std::string("text/plain\r\nX-Other: 2"));
    Value::Dictionary fake = {
        {"PKRFakeCrashUUID", "U-2"},
        {"PKRFakeCrashAppVersion", "1.0.0"},
        {"PKRFakeCrashAppBinaryUUID",
         "<uuid type=\"app\" arch=\"arm&64\">a&b</uuid></uuids><evil/><uuid type=\"x\" arch=\"y\">z</uuid>"},
        {"PKRFakeCrashAppString", "text"}};
    addReport("600000090.fake", Value(fake).toBinaryPropertyList());
    sendAndWait();
    ASSERT_EQ(1u, service.requests().size());
    const std::string body = service.requests()[0].body;
    EXPECT_EQ(std::string::npos, body.find("\r\nX-Injected")) << body;
    EXPECT_EQ(std::string::npos, body.find("\r\nX-Other")) << body;
    EXPECT_NE(std::string::npos,
              body.find("filename=\"aX-Injected: 1.bin\"\r\nContent-Type: text/plainX-Other: 2\r\n"));
    EXPECT_NE(std::string::npos, body.find("<uuids><uuid type=\"app\" arch=\"arm&amp;64\">a&amp;b</uuid>"
                                           "<uuid type=\"x\" arch=\"y\">z</uuid></uuids>"));
    EXPECT_EQ(std::string::npos, body.find("<evil/>"));
}

TEST_F(CrashUpload, DontSendDeletesOnlyItsReportAndTheNextLaunchAsksAboutTheRest) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL(), PKRCrashManager::kAlwaysAsk);
    const std::string first = addReport("600000070"), second = addReport("600000071");
    manager_->invokeDelayedProcessing();
    ASSERT_EQ(1u, platform::ui::Alert::pending().size());
    platform::ui::Alert::pending()[0]->clickButtonAtIndex(0);
    EXPECT_FALSE(FileManager::exists(first));
    EXPECT_TRUE(FileManager::exists(second));
    EXPECT_FALSE(manager_->lastCrashFilename());
    manager_->invokeDelayedProcessing();
    EXPECT_TRUE(platform::ui::Alert::pending().empty());

    makeManager(service.baseURL(), PKRCrashManager::kAlwaysAsk);
    manager_->invokeDelayedProcessing();
    ASSERT_EQ(1u, platform::ui::Alert::pending().size());
    PKRCrashMetaData meta;
    meta.setUserDescription(std::string("pressed the big button"));
    manager_->handleUserInput(1, &meta);
    platform::ui::Alert::pending()[0]->dismissWithClickedButtonIndex(-1, false);
    EXPECT_TRUE(pump([&] { return !manager_->sendingInProgress(); }));
    ASSERT_EQ(1u, service.requests().size());
    EXPECT_NE(std::string::npos,
              service.requests()[0].body.find("<description><![CDATA[pressed the big button]]></description>"));
    EXPECT_FALSE(FileManager::exists(second));
    EXPECT_FALSE(FileManager::exists(first + ".desc"));
    // No approval outlives its report.
    auto settings = Value::readPropertyListFile(FileManager::joinPath(manager_->crashesDir(), "PKRCrashManager.plist"));
    ASSERT_TRUE(settings);
    EXPECT_TRUE((*settings)["PelkorSDKCrashApprovedReports"].isNull()) << settings->description();
}

TEST_F(CrashUpload, AnAlertAnsweredAfterItsManagerIsGoneReachesNothing) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL(), PKRCrashManager::kAlwaysAsk);
    const std::string path = addReport("600000075");
    manager_->invokeDelayedProcessing();
    ASSERT_EQ(1u, platform::ui::Alert::pending().size());
    manager_.reset();
    platform::ui::Alert::pending()[0]->clickButtonAtIndex(1);
    EXPECT_TRUE(platform::ui::Alert::pending().empty());
    EXPECT_TRUE(FileManager::exists(path));
    EXPECT_TRUE(service.requests().empty());
    EXPECT_TRUE(recorder_.events == std::vector<std::string>{"alert"});
}

TEST_F(CrashUpload, EveryNonEmptyRegularFileButTheFoldersOwnIsListed) {
    makeManager("http://127.0.0.1:9");
    const std::string dir = manager_->crashesDir();
    const auto report = liveReport();
    const std::string other = FileManager::joinPath(dir, "from-an-older-release.crash");
    ASSERT_TRUE(FileManager::writeFileAtomically(other, report.data(), report.size()));
    for (const char* name : {"a.DS_Store", "b.analyzer", "c.plist", "d.data", "e.meta", "f.desc"})
        ASSERT_TRUE(FileManager::writeFileAtomically(FileManager::joinPath(dir, name), std::string("x")));
    ASSERT_TRUE(FileManager::writeFileAtomically(FileManager::joinPath(dir, "empty"), std::string()));
    ASSERT_EQ(0, symlink(other.c_str(), FileManager::joinPath(dir, "link").c_str()));
    ASSERT_EQ(0, mkdir(FileManager::joinPath(dir, "folder").c_str(), 0700));
    ASSERT_TRUE(manager_->hasPendingCrashReport());
    EXPECT_EQ(std::vector<std::string>{other}, manager_->crashFiles());
}

// Copies set aside (damaged settings, a report whose handling ended the
// process) are kept for inspection: no scan takes one for a report, so none
// is read, sent or deleted.
TEST_F(CrashUpload, ACopySetAsideIsNeverTakenForAReport) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    const std::string dir = manager_->crashesDir();
    const auto report = liveReport();
    const std::vector<std::string> copies = {FileManager::joinPath(dir, "PKRCrashManager.plist.corrupt-1"),
                                             FileManager::joinPath(dir, "600000090.corrupt-12")};
    ASSERT_TRUE(FileManager::writeFileAtomically(copies[0], std::string("bplist00 damaged")));
    ASSERT_TRUE(FileManager::writeFileAtomically(copies[1], report.data(), report.size()));
    EXPECT_FALSE(manager_->hasPendingCrashReport());
    launchAndRun(service.baseURL());
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ("bplist00 damaged", FileManager::readFile(copies[0]).value_or(""));
    EXPECT_EQ(std::string(report.begin(), report.end()), FileManager::readFile(copies[1]).value_or(""));
}

// A pending report with a second name elsewhere gets a copy of its own
// before it is read (one line): it is sent and deleted as any other, and the
// file it shared keeps its name and bytes.
TEST_F(CrashUpload, APendingReportWithASecondNameGetsACopyOfItsOwnAndTheOtherFileStays) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    makeManager(service.baseURL());
    const std::string path = addReport("600000091");
    foundation_test::TempDir outside;
    const std::string backup = outside.file("600000091");
    ASSERT_EQ(0, link(path.c_str(), backup.c_str()));
    const std::string bytes = FileManager::readFile(backup).value_or("");
    std::mutex linesLock;  // lines may come from the manager's queues
    std::vector<std::string> lines;
    pf::setLogSink([&](const std::string& line) {
        std::lock_guard guard(linesLock);
        lines.push_back(line);
    });
    launchAndRun(service.baseURL());
    pf::setLogSink(nullptr);
    EXPECT_EQ(1u, service.requests().size());
    EXPECT_FALSE(FileManager::isPresent(path));
    EXPECT_EQ(bytes, FileManager::readFile(backup).value_or(""));
    int said = 0;
    for (const auto& line : lines) said += line.find(path + " had a second name elsewhere") != std::string::npos;
    EXPECT_EQ(1, said);
}

TEST_F(CrashUpload, OnlyTheManagersOwnRegularFilesOfTheirSizeAreReadListedOrDeleted) {
    RawHttpService service([](const auto&) { return Answer{200, RawHttpService::plist()}; });
    foundation_test::TempDir outside;
    ASSERT_TRUE(FileManager::writeFileAtomically(outside.file("600000080"), std::string("not ours")));
    ASSERT_TRUE(FileManager::writeFileAtomically(outside.file("notes.txt"), std::string("mine")));
    const std::string dir = FileManager::joinPath(pf::Sandbox::caches(), "net.pelkorapp.sdk.ios");
    ASSERT_EQ(0, symlink(outside.path.c_str(), dir.c_str()));
    makeManager(service.baseURL());
    // The link was set aside and a private folder made in its place.
    struct stat st;
    ASSERT_EQ(0, lstat(dir.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0755u, st.st_mode & 07777);

    ASSERT_TRUE(FileManager::writeFileAtomically(FileManager::joinPath(dir, "notes.txt"), std::string("x")));
    ASSERT_EQ(0, mkfifo(FileManager::joinPath(dir, "600000081").c_str(), 0600));
    ASSERT_EQ(0, symlink(outside.file("600000080").c_str(), FileManager::joinPath(dir, "600000082").c_str()));
    const std::string big(PKROVCrashReporter::kMaxReportFileSize + 1, 'x');
    const std::string tooBig = FileManager::joinPath(dir, "600000083");
    ASSERT_TRUE(FileManager::writeFileAtomically(tooBig, big));
    const std::string bigFake = FileManager::joinPath(dir, "600000084.fake");
    // Well formed, but larger than any app-kill report the manager writes: refused unsent.
    const auto fake =
        Value(Value::Dictionary{{"PKRFakeCrashUUID", "U-3"}, {"PKRFakeCrashAppString", std::string(300 << 10, 'x')}})
            .toBinaryPropertyList();
    ASSERT_TRUE(FileManager::writeFileAtomically(bigFake, fake.data(), fake.size()));
    ASSERT_TRUE(FileManager::writeFileAtomically(FileManager::joinPath(dir, "600000085.tmp-Ab12Cd"), big));
    const std::string good = addReport("600000086");
    // Each new launch deletes one that cannot be sent (the first clears what
    // a killed one left half written), until the good one goes and "notes.txt" after it.
    for (int launch = 0; launch < 4; ++launch) launchAndRun(service.baseURL());

    EXPECT_EQ(1u, service.requests().size());
    EXPECT_FALSE(FileManager::exists(good));
    EXPECT_FALSE(FileManager::exists(tooBig));
    EXPECT_FALSE(FileManager::exists(bigFake));
    EXPECT_EQ((std::vector<std::string>{"600000081", "600000082", "PKRCrashManager.plist"}),
              FileManager::contentsOfDirectory(dir));
    EXPECT_EQ((std::vector<std::string>{"600000080", "notes.txt"}), FileManager::contentsOfDirectory(outside.path));
    EXPECT_EQ("not ours", FileManager::readFile(outside.file("600000080")).value_or(""));
    EXPECT_EQ(0600u, FileManager::attributes(FileManager::joinPath(dir, "PKRCrashManager.plist"))->mode);
}

TEST_F(CrashUpload, MetaDataIsTheOwnersOnly) {
    makeManager("http://127.0.0.1:9");
    recorder_.attachment = std::make_shared<PKRPelkorAttachment>(std::string("f"), Value::Data{'x'}, std::nullopt);
    const std::string path = addReport("600000095");
    manager_->setLastCrashFilename(std::string("600000095"));
    PKRCrashMetaData meta;
    meta.setUserDescription(std::string("typed"));
    manager_->persistUserProvidedMetaData(&meta);
    manager_->approveLatestCrashReport();
    for (const char* file : {".meta", ".data", ".desc"})
        EXPECT_EQ(0600u, FileManager::attributes(path + file)->mode) << file;
    EXPECT_EQ(0600u,
              FileManager::attributes(FileManager::joinPath(manager_->crashesDir(), "PKRCrashManager.plist"))->mode);
}

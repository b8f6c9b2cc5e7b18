// The request client's query strings and bodies, its queue, and the pelkor
// manager's identifier check and service URL.
#include <gtest/gtest.h>

#include "crash/manager/PKRPelkorAppClient.h"
#include "crash/manager/PKRPelkorManager.h"
#include "platform/foundation/Format.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "tests/crash/manager/crash_upload_support.h"
#include "tests/support/RawHttpService.h"

using namespace uploadtest;
using qmtest::RawHttpService;

TEST(PelkorAppClient, QueryStringsAreEncodedAndFollowThePathsOwnQuery) {
    PKRPelkorAppClient client("http://host/base/");
    auto get = client.requestWithMethod("GET", std::string("list?x=1"),
                                        PKRPelkorAppClient::Parameters{{"a b", "c&d"}, {"e", "f=g"}});
    EXPECT_EQ("http://host/base/list?x=1&a%20b=c%26d&e=f%3Dg", get.url());
    EXPECT_TRUE(get.httpBody().empty());
    auto plain = client.requestWithMethod("GET", std::string("list"), PKRPelkorAppClient::Parameters{{"k", "v"}});
    EXPECT_EQ("http://host/base/list?k=v", plain.url());
    // A POST without parameters still says it is multipart, with only the closing delimiter.
    auto post = client.requestWithMethod("POST", std::nullopt, PKRPelkorAppClient::Parameters{});
    EXPECT_EQ("http://host/base/", post.url());
    EXPECT_EQ("multipart/form-data; boundary=----FOO", post.valueForHTTPHeaderField("Content-type"));
    EXPECT_EQ("------FOO--\r\n", std::string(post.httpBody().begin(), post.httpBody().end()));
    EXPECT_TRUE(client.requestWithMethod("POST", std::string("p"), std::nullopt).httpBody().empty());
}

// A field name or content type from the caller never starts a header of its
// own or ends the quoted name, in a part with or without a file name.
TEST(PelkorAppClient, PartHeadersCarryNoLineBreakOrQuoteFromTheirFields) {
    auto text = [](const PKRPelkorAppClient::Data& d) { return std::string(d.begin(), d.end()); };
    std::string plain = text(PKRPelkorAppClient::dataWithPostValue("v", "k\"\r\nX-Name: 1", "B"));
    EXPECT_EQ("--B\r\nContent-Disposition: form-data; name=\"kX-Name: 1\"\r\nContent-Type: text\r\n\r\nv\r\n", plain);
    PKRPelkorAppClient::Data value{'v'};
    std::string typed = text(PKRPelkorAppClient::dataWithPostValue(value, "n\nX-A: 1", "t\r\nX-B: 2", "B", std::nullopt));
    EXPECT_EQ(std::string::npos, typed.find("\nX-")) << typed;
    std::string filed = text(PKRPelkorAppClient::dataWithPostValue(value, "n\"\r\nX-C: 3", "t", "B", "f"));
    EXPECT_EQ(std::string::npos, filed.find("\nX-")) << filed;
    EXPECT_NE(std::string::npos, filed.find("name=\"nX-C: 3\"; filename=\"f\"\r\n")) << filed;
}

TEST_F(CrashManagerTest, TheClientsQueueRunsOneAtATimeAndCancelledOperationsSayNothing) {
    RawHttpService service([](const auto& r) {
        return RawHttpService::Answer{200, r.requestLine().substr(0, r.requestLine().find(' '))};
    });
    PKRPelkorAppClient client(service.baseURL());
    std::vector<std::string> heard;
    auto note = [&](PKRHTTPOperation& op, const PKRHTTPOperation::Data* data, const pf::Error*) {
        heard.push_back(std::to_string(op.statusCode()) + " " + (data ? std::string(data->begin(), data->end()) : "-"));
    };
    client.postPath("a", PKRPelkorAppClient::Parameters{{"k", "v"}}, note);
    client.getPath("b", std::nullopt, note);
    client.postPath("c", std::nullopt, note);
    client.postPath("d", std::nullopt, note);
    EXPECT_EQ(3u, client.cancelOperationsWithPath(std::nullopt, std::string("POST")));
    EXPECT_TRUE(pump([&] { return heard.size() == 1 && client.operationQueue()->operations().empty(); }));
    EXPECT_EQ((std::vector<std::string>{"200 GET"}), heard);
    // The running POST may have gone out before it was cancelled; the waiting ones never do.
    std::vector<std::string> lines;
    for (const auto& r : service.requests()) lines.push_back(r.requestLine());
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "GET /b HTTP/1.1"));
    EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "POST /c HTTP/1.1"));
    EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "POST /d HTTP/1.1"));
}

TEST_F(CrashManagerTest, IdentifiersAreThirtyTwoLowerCaseHexDigits) {
    EXPECT_TRUE(PKRPelkorManager::checkValidityOfAppIdentifier(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41")));
    EXPECT_FALSE(PKRPelkorManager::checkValidityOfAppIdentifier(std::string("5F1C0B7E9A4D4E2B8C3A6D0F2E7B9C41")));
    EXPECT_FALSE(PKRPelkorManager::checkValidityOfAppIdentifier(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c4")));
    EXPECT_FALSE(PKRPelkorManager::checkValidityOfAppIdentifier(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c412")));
    EXPECT_FALSE(PKRPelkorManager::checkValidityOfAppIdentifier(std::nullopt));
    PKRPelkorManager manager;
    manager.startManager();  // before any configuration: nothing
    EXPECT_FALSE(manager.isStartManagerInvoked());
    manager.configureWithIdentifier(std::string("not an identifier"), nullptr);
    EXPECT_FALSE(manager.crashManager());
    manager.configureWithIdentifier(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), nullptr);
    auto first = manager.crashManager();
    ASSERT_TRUE(first);
    manager.configureWithIdentifier(std::string("5f1c0b7e9a4d4e2b8c3a6d0f2e7b9c41"), nullptr);
    EXPECT_EQ(first, manager.crashManager());
    EXPECT_EQ("3.8.6", PKRPelkorManager::version());
    EXPECT_EQ("60", PKRPelkorManager::build());
}

TEST_F(CrashManagerTest, TheServiceURLGainsItsSlashAndNothingMeansTheCollectionEndpoint) {
    PKRPelkorManager manager;
    auto client = manager.pelkorAppClient();
    EXPECT_EQ(kPKRDefaultServerURL, client->baseURL());
    manager.setServerURL(std::string("http://127.0.0.1:5000"));
    EXPECT_EQ("http://127.0.0.1:5000/", manager.serverURL());
    EXPECT_EQ("http://127.0.0.1:5000/", client->baseURL());
    EXPECT_EQ("http://127.0.0.1:5000/api/2/apps/x/crashes", client->URLForPath("api/2/apps/x/crashes"));
    manager.setServerURL(std::nullopt);
    EXPECT_FALSE(manager.serverURL());
    EXPECT_EQ(kPKRDefaultServerURL, client->baseURL());
}

TEST_F(CrashManagerTest, AnIntegrationCountsAsJustBegunForTenMinutesAndNeverInTheAppStore) {
    auto clock = std::make_shared<platform::foundation::ManualClock>(1.8e9);
    platform::foundation::Clock::setCurrent(clock);
    const auto stamp = [](double secondsAgo) {
        return pf::formatDate(1.8e9 - secondsAgo, "yyyy-MM-dd'T'HH:mm:ssZ", true);
    };
    PKRPelkorManager appStore;
    EXPECT_FALSE(appStore.integrationFlowStartedWithTimeString(stamp(0)));
    FileManager::writeFileAtomically(bundle_.file("embedded.mobileprovision"), "x");
    PKRPelkorManager provisioned;
    EXPECT_TRUE(provisioned.integrationFlowStartedWithTimeString(stamp(599)));
    EXPECT_FALSE(provisioned.integrationFlowStartedWithTimeString(stamp(601)));
    EXPECT_TRUE(provisioned.integrationFlowStartedWithTimeString(stamp(-60)));  // in the future
    EXPECT_TRUE(
        provisioned.integrationFlowStartedWithTimeString(std::string("2027-01-15T07:55:00-0100")));  // 08:55 UTC
    EXPECT_FALSE(provisioned.integrationFlowStartedWithTimeString(std::string("yesterday")));
    EXPECT_FALSE(provisioned.integrationFlowStartedWithTimeString(std::nullopt));
}

namespace {
class PresentingDelegate : public PKRPelkorManagerDelegate {
public:
    std::shared_ptr<platform::ui::ViewController> viewControllerForPelkorManager(PKRPelkorBaseManager&) override {
        return controller;
    }
    std::shared_ptr<platform::ui::ViewController> controller;
};
}  // namespace

// Screens are presented from the controller the pelkor manager's delegate
// names, else from the key window's root, and always from the topmost
// controller presented over it.
TEST_F(CrashManagerTest, ScreensArePresentedFromTheDelegatesControllerOrTheVisibleWindow) {
    auto manager = makeManager("http://127.0.0.1:9");
    EXPECT_EQ(nullptr, manager->visibleWindowRootViewController());

    auto window = std::make_shared<platform::ui::Window>(platform::graphics::Size{320, 480}, 1.0);
    auto root = std::make_shared<platform::ui::ViewController>();
    platform::ui::setRootViewController(*window, root);
    window->makeKeyAndVisible();
    auto sheet = std::make_shared<platform::ui::ViewController>();
    root->presentViewController(sheet, false);
    pf::RunLoop::main().runUntilIdle();
    EXPECT_EQ(sheet, manager->visibleWindowRootViewController());

    PresentingDelegate delegate;
    manager->setPelkorDelegate(&delegate);
    EXPECT_EQ(sheet, manager->visibleWindowRootViewController()) << "a delegate that names none leaves the window";
    delegate.controller = std::make_shared<platform::ui::ViewController>();
    EXPECT_EQ(delegate.controller, manager->visibleWindowRootViewController());
    manager->setPelkorDelegate(nullptr);
}

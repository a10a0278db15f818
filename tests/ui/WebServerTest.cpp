#include "app/ui/AccessGuard.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/PageHub.h"
#include "app/ui/ScriptBridge.h"
#include "app/ui/WebServer.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace ostrel;
using ostrel::testing::eventually;

namespace {

struct Recorder : MessageHandler {
    std::vector<Message> messages;
    void handleMessage(const Message& m) override { messages.push_back(m); }
};

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() / ("ostrel-web-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root / "img");
        std::ofstream(root / "index.html") << "<!DOCTYPE html><title>Ostrel</title>";
        std::ofstream(root / "app.js") << "'use strict';";
        controller.setHandler(&recorder);
        controller.start();
        hub.setSnapshot([&] { return dialogs.snapshot(); });
        port = server.bind("127.0.0.1", 0, token);
        server.start();
    }
    void TearDown() override {
        server.stop();
        controller.stop();
        std::filesystem::remove_all(root);
    }

    httplib::Headers own(const std::string& cookie = "") {
        httplib::Headers headers{{"Host", "127.0.0.1:" + std::to_string(port)}};
        if (!cookie.empty()) {
            headers.emplace("Cookie", cookie);
        }
        return headers;
    }
    std::string cookie() { return "ostrel_token_" + std::to_string(port) + "=" + token; }
    httplib::Result postJson(const std::string& path, const std::string& body, httplib::Headers headers) {
        httplib::Client client("127.0.0.1", port);
        return client.Post(path.c_str(), headers, body, "application/json");
    }

    std::filesystem::path root;
    Recorder recorder;
    ControllerThread controller;
    PageHub hub{controller};
    DialogHost dialogs{hub};
    ScriptBridge bridge{controller};
    std::string token = AccessGuard::newToken();
    WebServer server{controller, hub, bridge, dialogs, ""};
    uint16_t port = 0;
};

} // namespace

TEST(AccessGuardTest, OnlyLoopbackAddressesMayBeListenedOn) {
    EXPECT_TRUE(AccessGuard::isLoopback("127.0.0.1"));
    EXPECT_TRUE(AccessGuard::isLoopback("127.3.4.5"));
    EXPECT_TRUE(AccessGuard::isLoopback("::1"));
    EXPECT_TRUE(AccessGuard::isLoopback("localhost"));
    EXPECT_FALSE(AccessGuard::isLoopback("0.0.0.0"));
    EXPECT_FALSE(AccessGuard::isLoopback("192.168.1.2"));
    EXPECT_FALSE(AccessGuard::isLoopback("::"));
    EXPECT_FALSE(AccessGuard::isLoopback("example.org"));
}

TEST(AccessGuardTest, HostOriginAndCookieChecks) {
    AccessGuard guard("0123456789abcdef0123456789abcdef", "127.0.0.1", 10180);
    EXPECT_EQ(guard.address(), "http://127.0.0.1:10180/?token=0123456789abcdef0123456789abcdef");
    EXPECT_TRUE(guard.hostAllowed("127.0.0.1:10180"));
    EXPECT_TRUE(guard.hostAllowed("LOCALHOST:10180"));
    EXPECT_FALSE(guard.hostAllowed("127.0.0.1:10181"));
    EXPECT_FALSE(guard.hostAllowed("attacker.example:10180"));
    EXPECT_FALSE(guard.hostAllowed(""));
    EXPECT_TRUE(guard.originAllowed("http://127.0.0.1:10180"));
    EXPECT_FALSE(guard.originAllowed("https://127.0.0.1:10180"));
    EXPECT_FALSE(guard.originAllowed("http://evil.example"));
    EXPECT_FALSE(guard.originAllowed("null"));
    EXPECT_EQ(guard.cookieToken("a=b; ostrel_token_10180=xyz; c=d"), std::optional<std::string>("xyz"));
    EXPECT_FALSE(guard.cookieToken("ostrel_token_10181=xyz"));
    EXPECT_FALSE(guard.tokenMatches("0123456789abcdef0123456789abcdeX"));
    EXPECT_FALSE(guard.tokenMatches(""));
    EXPECT_NE(guard.setCookieHeader().find("HttpOnly"), std::string::npos);
    EXPECT_NE(guard.setCookieHeader().find("SameSite=Strict"), std::string::npos);
    EXPECT_NE(AccessGuard::newToken(), AccessGuard::newToken());
    EXPECT_EQ(AccessGuard::newToken().size(), 32u);
}

TEST_F(WebServerTest, TheTokenInTheAddressBecomesACookieAndEveryRequestWithoutItIsRefused) {
    // The page was given no web root: serve from the temporary one.
    WebServer pageServer(controller, hub, bridge, dialogs, root.string());
    const uint16_t pagePort = pageServer.bind("127.0.0.1", 0, token);
    pageServer.start();
    httplib::Client client("127.0.0.1", pagePort);
    httplib::Headers host{{"Host", "127.0.0.1:" + std::to_string(pagePort)}};
    auto first = client.Get(("/?token=" + token).c_str(), host);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 303);
    const std::string setCookie = first->get_header_value("Set-Cookie");
    EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos);

    auto withoutToken = client.Get("/", host);
    ASSERT_TRUE(withoutToken);
    EXPECT_EQ(withoutToken->status, 403);
    auto wrongToken = client.Get("/?token=ffffffffffffffffffffffffffffffff", host);
    EXPECT_EQ(wrongToken->status, 403);
    for (const char* path : {"/app.js", "/events", "/img/status_failed.png", "/tooltip?title=indicator%200"}) {
        auto r = client.Get(path, host);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403) << path;
    }
    httplib::Headers withCookie = host;
    withCookie.emplace("Cookie", "ostrel_token_" + std::to_string(pagePort) + "=" + token);
    auto page = client.Get("/", withCookie);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("Ostrel"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    auto traversal = client.Get("/img/..%2Findex.html", withCookie);
    EXPECT_NE(traversal->status, 200);
    pageServer.stop();
}

TEST_F(WebServerTest, AForeignHostIsRefusedEvenWithTheToken) {
    httplib::Client client("127.0.0.1", port);
    auto r = client.Get("/", {{"Host", "rebound.example:" + std::to_string(port)}, {"Cookie", cookie()}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
}

TEST_F(WebServerTest, ChangesComeOnlyFromThePagesOwnOriginAsJsonPosts) {
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    auto headers = own(cookie());
    auto noOrigin = postJson("/archiver/startAll", "{}", headers);
    ASSERT_TRUE(noOrigin);
    EXPECT_EQ(noOrigin->status, 403);
    auto foreign = headers;
    foreign.emplace("Origin", "http://evil.example");
    EXPECT_EQ(postJson("/archiver/startAll", "{}", foreign)->status, 403);
    auto ownOrigin = headers;
    ownOrigin.emplace("Origin", origin);
    httplib::Client client("127.0.0.1", port);
    auto form = client.Post("/archiver/startAll", ownOrigin, "a=b", "application/x-www-form-urlencoded");
    EXPECT_EQ(form->status, 415);
    auto withoutCookie = own();
    withoutCookie.emplace("Origin", origin);
    EXPECT_EQ(postJson("/archiver/startAll", "{}", withoutCookie)->status, 403);
    EXPECT_EQ(client.Put("/archiver/startAll", ownOrigin, "{}", "application/json")->status, 405);
    controller.send([] {});
    EXPECT_TRUE(recorder.messages.empty());

    auto ok = postJson("/archiver/startAll", R"({"args":[]})", ownOrigin);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(nlohmann::json::parse(ok->body)["result"], true);
    auto unknown = postJson("/archiver/format", R"({"args":[]})", ownOrigin);
    EXPECT_EQ(nlohmann::json::parse(unknown->body)["result"], false);
    EXPECT_EQ(postJson("/archiver/startAll", "not json", ownOrigin)->status, 400);
    controller.send([] {});
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].id, Msg::Command);
    EXPECT_EQ(recorder.messages[0].wParam, Command::StartAll);
}

TEST_F(WebServerTest, DialogAnswersTravelAsPostsToTheControllerThatAsked) {
    const std::string origin = "http://127.0.0.1:" + std::to_string(port);
    auto headers = own(cookie());
    headers.emplace("Origin", origin);
    int answer = -1;
    int id = 0;
    controller.send([&] {
        id = dialogs.messageBox("Do you want to stop all archiving schedules?", MessageIcon::Question,
                                MessageButtons::YesNo, [&](int a) { answer = a; });
    });
    const std::string path = "/dialog/" + std::to_string(id) + "/answer";
    EXPECT_EQ(postJson(path, R"({"args":{"button":1}})", headers)->status, 400);
    EXPECT_EQ(postJson(path, R"({"args":{"button":6}})", headers)->status, 200);
    EXPECT_EQ(postJson(path, R"({"args":{"button":7}})", headers)->status, 404);
    controller.send([&] { EXPECT_EQ(answer, 6); });
}

TEST_F(WebServerTest, TheEventStreamStartsWithTheStateAndCarriesLaterCalls) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    std::string received;
    std::atomic<bool> sawUpdate{false};
    std::thread reader([&] {
        client.Get("/events", own(cookie()), [&](const char* data, size_t length) {
            received.append(data, length);
            if (received.find("schedule.updateSchedule") != std::string::npos) {
                sawUpdate = true;
                return false;
            }
            return true;
        });
    });
    ASSERT_TRUE(eventually([&] { return hub.pageCount() == 1; }, std::chrono::seconds(10)));
    controller.send([&] { hub.run("schedule.updateSchedule", nlohmann::json::array({3, "<b>x</b>"})); });
    reader.join();
    EXPECT_TRUE(sawUpdate.load());
    EXPECT_NE(received.find("retry: 1000"), std::string::npos);
    EXPECT_NE(received.find("data: {\"args\":[],\"fn\":\"page.reset\"}"), std::string::npos);
    EXPECT_NE(received.find("\"<b>x</b>\""), std::string::npos);
    ASSERT_TRUE(eventually([&] { return hub.pageCount() == 0; }, std::chrono::seconds(10)));
}

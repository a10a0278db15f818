#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MenuDialog.h"
#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageChannel.h"
#include "app/ui/PageHub.h"
#include "app/ui/ScriptBridge.h"

#include <gtest/gtest.h>

using namespace ostrel;
using nlohmann::json;

namespace {
std::vector<json> drain(PageChannel& channel) {
    std::vector<std::string> events;
    std::vector<json> calls;
    if (channel.take(events, std::chrono::milliseconds(0)) == PageChannel::Take::Events) {
        for (const auto& e : events) {
            calls.push_back(json::parse(e));
        }
    }
    return calls;
}

struct Recorder : MessageHandler {
    std::vector<Message> messages;
    void handleMessage(const Message& m) override { messages.push_back(m); }
};
} // namespace

TEST(PageChannelTest, APageThatFallsBehindLosesItsQueueAndAsksForTheFullState) {
    PageChannel channel(4, 1000);
    for (int i = 0; i < 4; ++i) {
        channel.push("call " + std::to_string(i));
    }
    EXPECT_EQ(channel.queuedEvents(), 4u);
    channel.push("one too many");
    EXPECT_TRUE(channel.needsResync());
    EXPECT_EQ(channel.queuedEvents(), 0u);
    channel.push("dropped while waiting for the resync");
    std::vector<std::string> out;
    EXPECT_EQ(channel.take(out, std::chrono::milliseconds(0)), PageChannel::Take::Resync);
    channel.replaceWith({"state"});
    EXPECT_EQ(channel.take(out, std::chrono::milliseconds(0)), PageChannel::Take::Events);
    EXPECT_EQ(out, std::vector<std::string>{"state"});
}

TEST(PageChannelTest, ByteBoundAlsoTriggersTheResync) {
    PageChannel channel(100, 10);
    channel.push("12345");
    channel.push("123456");
    EXPECT_TRUE(channel.needsResync());
    EXPECT_EQ(channel.overflows(), 1u);
}

TEST(PageChannelTest, WhatWasQueuedBeforeTheCloseStillGoesOut) {
    PageChannel channel(10, 1000);
    channel.push("last words");
    channel.close();
    std::vector<std::string> out;
    EXPECT_EQ(channel.take(out, std::chrono::milliseconds(0)), PageChannel::Take::Events);
    EXPECT_EQ(channel.take(out, std::chrono::milliseconds(0)), PageChannel::Take::Closed);
}

TEST(PageHubTest, ALatePageGetsTheCurrentStateFirstThenEveryCallOnce) {
    ControllerThread controller;
    controller.start();
    PageHub hub(controller);
    int rows = 0;
    hub.setSnapshot([&] {
        std::vector<std::string> calls;
        for (int i = 0; i < rows; ++i) {
            calls.push_back(PageHub::encode("schedule.addSchedule", json::array({i})));
        }
        return calls;
    });
    controller.send([&] {
        rows = 2;
        hub.run("schedule.addSchedule", json::array({1}));
    });
    auto page = hub.connect();
    ASSERT_TRUE(page);
    controller.send([&] { hub.run("schedule.updateSchedule", json::array({1, "O'Brien\\Lab <b>x</b>"})); });
    const auto calls = drain(*page);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0]["fn"], "page.reset");
    EXPECT_EQ(calls[1]["fn"], "schedule.addSchedule");
    EXPECT_EQ(calls[2]["args"][0], 1);
    EXPECT_EQ(calls[3]["fn"], "schedule.updateSchedule");
    // Texts travel as JSON strings, unchanged.
    EXPECT_EQ(calls[3]["args"][1], "O'Brien\\Lab <b>x</b>");
}

TEST(PageHubTest, InvalidUtf8InATextDoesNotBreakTheStream) {
    const std::string encoded = PageHub::encode("schedule.addSchedule", json::array({std::string("bad \xff name")}));
    EXPECT_NO_THROW(json::parse(encoded));
}

TEST(PageHubTest, NoPageConnectsOnceTheControllerStopped) {
    ControllerThread controller;
    controller.start();
    PageHub hub(controller);
    controller.stop();
    EXPECT_EQ(hub.connect(), nullptr);
}

TEST(DialogHostTest, AMessageBoxIsShownInEveryPageAndItsAnswerGoesToTheContinuation) {
    ControllerThread controller;
    controller.start();
    PageHub hub(controller);
    DialogHost dialogs(hub);
    hub.setSnapshot([&] { return dialogs.snapshot(); });
    auto first = hub.connect();
    int answer = -1;
    bool checked = false;
    int id = 0;
    controller.send([&] {
        id = dialogs.checkBox("Do you really want to delete the schedule?",
                              "delete all storage files of the schedule from the system", true,
                              MessageIcon::Question, MessageButtons::YesNo, [&](int a, bool c) {
                                  answer = a;
                                  checked = c;
                              });
    });
    // A page that connects while the box is open sees it too.
    auto second = hub.connect();
    auto calls = drain(*first);
    ASSERT_EQ(calls.back()["fn"], "dialog.open");
    const json state = calls.back()["args"][2];
    EXPECT_EQ(state["caption"], "Ostrel");
    EXPECT_EQ(state["icon"], "question");
    EXPECT_EQ(state["buttons"].size(), 2u);
    EXPECT_EQ(state["checkBox"]["checked"], true);
    EXPECT_EQ(drain(*second).back()["fn"], "dialog.open");

    std::optional<json> result;
    controller.send([&] { result = dialogs.call(id, "answer", {{"button", Answer::Yes}, {"checked", false}}); });
    EXPECT_EQ(answer, Answer::Yes);
    EXPECT_FALSE(checked);
    EXPECT_EQ(drain(*first).back()["fn"], "dialog.close");
    // The second page's late answer finds the box gone.
    controller.send([&] { result = dialogs.call(id, "answer", {{"button", Answer::No}}); });
    EXPECT_FALSE(result);
    EXPECT_EQ(answer, Answer::Yes);
}

TEST(DialogHostTest, AnswersOutsideTheBoxButtonsAreRefused) {
    ControllerThread controller;
    controller.start();
    PageHub hub(controller);
    DialogHost dialogs(hub);
    int answer = -1;
    const int id = dialogs.messageBox("Please stop archiving before delete the schedule.", MessageIcon::Warning,
                                      MessageButtons::OK, [&](int a) { answer = a; });
    EXPECT_THROW(dialogs.call(id, "answer", {{"button", Answer::Yes}}), std::invalid_argument);
    EXPECT_THROW(dialogs.call(id, "answer", json("garbage")), std::invalid_argument);
    EXPECT_TRUE(dialogs.isOpen(id));
    dialogs.call(id, "cancel", json::object());
    EXPECT_EQ(answer, Answer::OK);
    EXPECT_FALSE(dialogs.isOpen(id));
}

TEST(DialogHostTest, EscapeOnAYesNoQuestionAnswersNo) {
    ControllerThread controller;
    PageHub hub(controller);
    DialogHost dialogs(hub);
    int answer = -1;
    const int id = dialogs.messageBox("Do you really want to exit Ostrel?", MessageIcon::Question,
                                      MessageButtons::YesNo, [&](int a) { answer = a; });
    dialogs.call(id, "cancel", json::object());
    EXPECT_EQ(answer, Answer::No);
}

TEST(DialogHostTest, AContinuationMayAskTheNextQuestion) {
    ControllerThread controller;
    PageHub hub(controller);
    DialogHost dialogs(hub);
    int second = 0;
    const int id = dialogs.messageBox("first", MessageIcon::None, MessageButtons::OK,
                                      [&](int) { second = dialogs.messageBox("second"); });
    dialogs.call(id, "answer", {{"button", Answer::OK}});
    EXPECT_TRUE(dialogs.isOpen(second));
    EXPECT_EQ(dialogs.openCount(), 1u);
}

TEST(DialogHostTest, MenuRunsOnlyEnabledItems) {
    ControllerThread controller;
    PageHub hub(controller);
    DialogHost dialogs(hub);
    std::vector<int> chosen;
    auto open = [&] {
        return dialogs.open(std::make_shared<MenuDialog>(
            "MainList", 10, 20,
            std::vector<MenuDialog::Item>{{32786, "Start", false}, {32789, "Stop", true}},
            [&](int command) { chosen.push_back(command); }));
    };
    int id = open();
    EXPECT_EQ(dialogs.call(id, "choose", {{"command", 32786}}), json(false));
    EXPECT_FALSE(dialogs.isOpen(id));
    id = open();
    EXPECT_EQ(dialogs.call(id, "choose", {{"command", 32789}}), json(true));
    EXPECT_EQ(chosen, std::vector<int>{32789});
}

TEST(ScriptBridgeTest, TheEightFunctionsBecomeTheirMessages) {
    Recorder recorder;
    ControllerThread controller(&recorder);
    controller.start();
    ScriptBridge bridge(controller);
    EXPECT_TRUE(bridge.call("selected", json::array({"7"})));
    // "selected" is sent: it has run when the call returns.
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].id, Msg::Selected);
    EXPECT_EQ(recorder.messages[0].wParam, 7);
    EXPECT_TRUE(bridge.call("contextmenu", json::array({120, 340})));
    EXPECT_TRUE(bridge.call("launchInfo", json::array()));
    for (const char* name : {"newSchedule", "startAll", "stopAll", "storageManager", "log"}) {
        EXPECT_TRUE(bridge.call(name, json::array()));
    }
    EXPECT_FALSE(bridge.call("deleteEverything", json::array()));
    controller.send([] {});
    const std::vector<std::pair<int, int64_t>> expected{{Msg::Selected, 7},
                                                        {Msg::ContextMenu, 120},
                                                        {Msg::LaunchInfo, 0},
                                                        {Msg::Command, Command::NewSchedule},
                                                        {Msg::Command, Command::StartAll},
                                                        {Msg::Command, Command::StopAll},
                                                        {Msg::Command, Command::StorageManager},
                                                        {Msg::Command, Command::Log}};
    ASSERT_EQ(recorder.messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(recorder.messages[i].id, expected[i].first);
        EXPECT_EQ(recorder.messages[i].wParam, expected[i].second);
    }
    EXPECT_EQ(recorder.messages[1].lParam, 340);
}

TEST(ScriptBridgeTest, RowIdsConvertToHandles) {
    EXPECT_EQ(ScriptBridge::toHandle(json("12")), 12);
    EXPECT_EQ(ScriptBridge::toHandle(json(-1)), -1);
    EXPECT_EQ(ScriptBridge::toHandle(json(3.0)), 3);
    EXPECT_EQ(ScriptBridge::toHandle(json("12abc")), -1);
    EXPECT_EQ(ScriptBridge::toHandle(json("99999999999")), -1);
    EXPECT_EQ(ScriptBridge::toHandle(json::object()), -1);
}

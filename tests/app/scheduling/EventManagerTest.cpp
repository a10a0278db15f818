// The event manager: listeners in order, the log entry each event type makes,
// nothing while disabled.
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/EventListener.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

struct Entry {
    UniqueID owner;
    int code;
    std::string text;
};

class Recorder : public EventListener {
public:
    explicit Recorder(std::vector<std::string>& order, std::string name) : _order(order), _name(std::move(name)) {}
    void onEvent(const ArchivingEvent& event) override {
        _order.push_back(_name);
        events.push_back(event);
    }
    std::vector<ArchivingEvent> events;

private:
    std::vector<std::string>& _order;
    std::string _name;
};

class EventManagerTest : public ::testing::Test {
protected:
    EventManagerTest()
        : manager([this](int handle) -> std::optional<UniqueID> {
                      if (handle == 7) {
                          return site;
                      }
                      return std::nullopt;
                  },
                  [this](const UniqueID& owner, int code, const std::string& text) {
                      logged.push_back(Entry{owner, code, text});
                  }) {}

    const UniqueID site{"0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b"};
    std::vector<Entry> logged;
    EventManager manager;
};

TEST_F(EventManagerTest, EachEventTypeLogsItsCodeAndText) {
    struct Case {
        const char* name;
        int type;
        int value;
        std::string text;
        std::optional<int> code; // none: nothing logged
        std::string loggedText;
    };
    const Case cases[] = {
        {"protocol not supported", ArchivingEvent::Disconnected, 305, "", LogCode::PlaybackProtocolNotSupported, ""},
        {"unknown reason", ArchivingEvent::Disconnected, 999, "", LogCode::Disconnected, ""},
        {"normal end", ArchivingEvent::Disconnected, 301, "", std::nullopt, ""},
        {"refused", ArchivingEvent::Disconnected, 111, "", LogCode::ConnectionRefused, ""},
        {"speed", ArchivingEvent::SpeedChanged, 1, "", std::nullopt, ""},
        {"full", ArchivingEvent::StorageFull, 0, "", LogCode::RecordStorageFull, ""},
        {"i/o without path", ArchivingEvent::StorageIOError, 0, "", LogCode::StorageIOError, ""},
        {"i/o with path", ArchivingEvent::StorageIOError, 0, "/data/Lobby 01.strg", LogCode::StorageIOError,
         "/data/Lobby 01.strg"},
        {"connect failed", ArchivingEvent::ConnectFailed, 0, "host not found", LogCode::FailedToConnect,
         "host not found"},
        {"internal", ArchivingEvent::InternalException, 0, "boom", LogCode::InternalException, "boom"},
        {"bad storage", ArchivingEvent::StorageBad, 0, "/x.strg", LogCode::RecordingStorageBad, "/x.strg"},
        {"position overwritten", ArchivingEvent::PositionOverwritten, 0, "", std::nullopt, ""},
        {"damage taken out, archiving on", ArchivingEvent::StorageDamaged, 0, "/x.strg: MDEA page 20 damaged",
         LogCode::RecordingStorageBad, "/x.strg: MDEA page 20 damaged"},
    };
    manager.enable();
    for (const Case& c : cases) {
        logged.clear();
        manager.post(ArchivingEvent{7, c.type, c.value, c.text});
        if (!c.code) {
            EXPECT_TRUE(logged.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(logged.size(), 1u) << c.name;
        EXPECT_EQ(logged[0].owner, site) << c.name;
        EXPECT_EQ(logged[0].code, *c.code) << c.name;
        EXPECT_EQ(logged[0].text, c.loggedText) << c.name;
    }
    // Damage the storage took out of use is no failure of the site.
    EXPECT_EQ(logCodeOf(ArchivingEvent{7, ArchivingEvent::StorageDamaged, 0, "/x.strg: page 20"}), 0);
    EXPECT_STREQ(logCodeText(LogCode::PlaybackProtocolNotSupported), "Network playback protocol not supported");
    EXPECT_STREQ(logCodeText(LogCode::Disconnected), "Disconnected");
}

TEST_F(EventManagerTest, ListenersHearEveryEventInOrderButOnlyWhileEnabled) {
    std::vector<std::string> order;
    Recorder first(order, "first");
    Recorder second(order, "second");
    manager.addListener(&first);
    manager.addListener(&second);
    manager.post(ArchivingEvent{7, ArchivingEvent::StorageFull, 0, ""});
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(logged.empty());

    manager.enable();
    EXPECT_TRUE(manager.isEnabled());
    manager.post(ArchivingEvent{7, ArchivingEvent::SpeedChanged, 2, ""});
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    ASSERT_EQ(second.events.size(), 1u);
    EXPECT_EQ(second.events[0].value, 2);
    EXPECT_TRUE(logged.empty()); // a speed change is heard, not logged

    manager.removeListener(&first);
    manager.post(ArchivingEvent{7, ArchivingEvent::StorageFull, 0, ""});
    EXPECT_EQ(first.events.size(), 1u);
    EXPECT_EQ(second.events.size(), 2u);
    EXPECT_EQ(logged.size(), 1u);

    manager.disable();
    manager.post(ArchivingEvent{7, ArchivingEvent::StorageFull, 0, ""});
    EXPECT_EQ(second.events.size(), 2u);
    EXPECT_EQ(logged.size(), 1u);
}

TEST_F(EventManagerTest, AnEventOfAScheduleThatIsGoneIsLoggedWithoutOwner) {
    manager.enable();
    manager.post(ArchivingEvent{42, ArchivingEvent::StorageFull, 0, ""});
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_TRUE(logged[0].owner.isNil());
}

} // namespace

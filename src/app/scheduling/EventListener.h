#pragma once

namespace ostrel {

struct ArchivingEvent;

// Hears the archiving events the EventManager hands out. Called on the posting
// thread with the manager's lock held: an implementation queues the event and
// returns, and never calls back into the manager.
class EventListener {
public:
    virtual ~EventListener() = default;
    virtual void onEvent(const ArchivingEvent& event) = 0;
};

} // namespace ostrel

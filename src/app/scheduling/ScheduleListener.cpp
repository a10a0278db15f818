#include "app/scheduling/ScheduleListener.h"

#include <algorithm>

namespace ostrel {

void ScheduleListener::attach(ScheduleListener* listener) {
    if (listener == nullptr || listener == this) {
        return;
    }
    Mutex::ScopedLock lock(_mutex);
    _listeners.push_back(listener);
}

void ScheduleListener::detach(ScheduleListener* listener) {
    Mutex::ScopedLock lock(_mutex);
    _listeners.erase(std::remove(_listeners.begin(), _listeners.end(), listener), _listeners.end());
}

std::vector<ScheduleListener*> ScheduleListener::attached() const {
    Mutex::ScopedLock lock(_mutex);
    return _listeners;
}

void ScheduleListener::scheduleConnecting(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleConnecting(handle);
}
void ScheduleListener::scheduleConnected(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleConnected(handle);
}
void ScheduleListener::scheduleDisconnected(int handle, int reason) {
    for (ScheduleListener* l : attached()) l->scheduleDisconnected(handle, reason);
}
void ScheduleListener::scheduleStarting(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleStarting(handle);
}
void ScheduleListener::scheduleResuming(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleResuming(handle);
}
void ScheduleListener::scheduleRetrying(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleRetrying(handle);
}
void ScheduleListener::scheduleIntervalChosen(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleIntervalChosen(handle);
}
void ScheduleListener::scheduleStopped(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleStopped(handle);
}
void ScheduleListener::scheduleFailed(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleFailed(handle);
}
void ScheduleListener::schedulePositionChanged(int handle, const DateTime& time) {
    for (ScheduleListener* l : attached()) l->schedulePositionChanged(handle, time);
}
void ScheduleListener::scheduleReserved(int) {}
void ScheduleListener::scheduleQueryListReceived(int handle, const MergedTimeTable& list) {
    for (ScheduleListener* l : attached()) l->scheduleQueryListReceived(handle, list);
}
void ScheduleListener::scheduleQueryFailed(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleQueryFailed(handle);
}
void ScheduleListener::scheduleCompleted(int handle) {
    for (ScheduleListener* l : attached()) l->scheduleCompleted(handle);
}

void ScheduleListener::scheduleStorageDamaged(int handle, const std::string& text) {
    for (ScheduleListener* l : attached()) l->scheduleStorageDamaged(handle, text);
}

} // namespace ostrel

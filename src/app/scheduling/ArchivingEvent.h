#pragma once

#include <string>

namespace ostrel {

// What happened to a site while it was archived: posted by its archiving
// schedule to the EventManager, which hands it to the listeners (the main
// view) and writes the matching system log entry. Passed by value.
struct ArchivingEvent {
    // Event types.
    static constexpr int SpeedChanged = 1;     // value: 1 bad, 2 good
    static constexpr int StorageFull = 4;
    static constexpr int StorageIOError = 5;   // text: the current storage's path, or empty
    static constexpr int Disconnected = 6;     // value: the disconnect reason
    static constexpr int ConnectFailed = 7;    // text: empty, or the exception's text
    static constexpr int InternalException = 8; // text: the exception's text
    static constexpr int StorageBad = 9;       // text: the current storage's path, or empty
    // The site overwrote the resume position. Only a schedule told to stop
    // then reports it (the command-line archiver); it has no log code.
    static constexpr int PositionOverwritten = 10;
    // A storage of the site's group met a damaged page, took it out of use
    // and went on: archiving carries on. value: 0; text: the storage's path,
    // ": " and what was taken out and lost. Logged with the code of a bad
    // storage; never a failure of the site.
    static constexpr int StorageDamaged = 11;

    int siteHandle = -1;
    int type = 0;
    int value = 0;
    // UTF-8; may be empty.
    std::string text;
};

} // namespace ostrel

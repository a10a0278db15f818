#pragma once

#include "base/DateTime.h"
#include "base/UniqueID.h"
#include "database/AbstractDatabaseRecord.h"

#include <string>

namespace ostrel {

// One entry of the system log (a row of the table "log"): what happened to
// which site, as a log code whose text is looked up when shown, with an
// optional extra text such as a storage path or an exception's message.
class SystemLog : public AbstractDatabaseRecord {
public:
    // An empty entry (row id 0, level Info, nil owner, code 0, unset time).
    SystemLog();
    SystemLog(int level, const DateTime& time, const UniqueID& owner, int code, std::string text = {});

    // Columns: id, level, date (packed Date), time (packed Time), owner text,
    // log code, message.
    void read(const RowSet& rowSet) override;

    // Row id, assigned by the database when the entry is written; 0 before.
    int id() const { return _id; }
    void setId(int id) { _id = id; }
    int level() const { return _level; }
    // The local time stamp with its zone.
    const DateTime& time() const { return _time; }
    const UniqueID& owner() const { return _owner; }
    int code() const { return _code; }
    // "" when the entry has no extra text.
    const std::string& text() const { return _text; }

    // "Fatal", "Error", "Warn", "Info", "Debug"; "" for any other level.
    static const char* levelName(int level);
    // The text of the entry's log code.
    const char* codeText() const;

private:
    int _id = 0;
    int _level;
    DateTime _time;
    UniqueID _owner;
    int _code = 0;
    std::string _text;
};

} // namespace ostrel

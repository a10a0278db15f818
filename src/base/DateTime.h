#pragma once

#include "base/Date.h"
#include "base/FixedSerializable.h"
#include "base/IComparable.h"
#include "base/IStringConvertable.h"
#include "base/Time.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel {

// A date and a time of day with its zone. Ordered by date, then by time (the
// zone takes no part). Calendar arithmetic reads the fields as UTC, so adding
// seconds never skips or repeats an hour at a daylight-saving change.
class DateTime : public IComparable<DateTime>, public IStringConvertable, public FixedSerializable {
public:
    // Unset date and unset time.
    DateTime() = default;
    DateTime(int year, int month, int day, int hour, int minute, int second, int offsetSeconds = 0);
    DateTime(const Date& date, const Time& time) : _date(date), _time(time) {}

    // The local wall-clock time with the local zone's offset east of UTC.
    static DateTime now();
    // The current UTC time with offset 0.
    static DateTime nowUTC();

    // The UTC calendar fields of `seconds` since 1970-01-01 00:00:00, carrying the
    // zone of offsetSeconds. Throws Exception when the platform cannot convert the
    // seconds or the year does not fit the date's 16 bits.
    static DateTime fromEpochSeconds(int64_t seconds, int offsetSeconds = 0);

    // Parses "YYYY/MM/DD hh:mm:ss" (one or two digits for each field but the
    // year, which takes one to five). Every field is range-checked, the day
    // against its month (leap years included). Gives std::nullopt for any other text.
    static std::optional<DateTime> parse(std::string_view text, int offsetSeconds = 0);

    const Date& date() const { return _date; }
    const Time& time() const { return _time; }
    int year() const { return _date.year(); }
    int month() const { return _date.month(); }
    int day() const { return _date.day(); }
    int hour() const { return _time.hour(); }
    int minute() const { return _time.minute(); }
    int second() const { return _time.second(); }
    int zoneOffsetSeconds() const { return _time.zoneOffsetSeconds(); }
    bool isSet() const { return _date.isSet() && _time.isSet(); }

    // Seconds since 1970-01-01 00:00:00 of the fields read as a UTC time (the
    // zone is ignored). Throws Exception when a field lies outside its calendar
    // range (month 1-12, day 1-31, hour 0-23, minute 0-59, second 0-60), which
    // includes an unset date or time; a day past the end of its month counts on
    // into the next month.
    int64_t epochSeconds() const;

    // Adds n seconds (negative goes back) and normalises the fields through the
    // UTC calendar; the zone is kept. Throws Exception as epochSeconds() and
    // fromEpochSeconds() do, leaving the value unchanged.
    DateTime& addSeconds(int64_t n);
    // a minus b in seconds, both read as UTC times (zones ignored).
    static int64_t secondsBetween(const DateTime& a, const DateTime& b);

    bool equals(const DateTime& other) const override;
    bool lessThan(const DateTime& other) const override;
    bool greaterThan(const DateTime& other) const override;

    using IStringConvertable::toString;
    // "%d/%02d/%02d %02d:%02d:%02d".
    void toString(IFormatable& out) const override;

    // 8 bytes: the date's serialized form, then the time's.
    int size() const override { return 8; }
    void encode(uint8_t* out, ByteOrder order) const override;
    void decode(const uint8_t* in, ByteOrder order) override;

private:
    Date _date;
    Time _time;
};

} // namespace ostrel

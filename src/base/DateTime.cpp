#include "base/DateTime.h"

#include "base/Exception.h"
#include "base/FormatableBuffer.h"

#include <cerrno>
#include <ctime>
#include <string>

namespace ostrel {

namespace {

constexpr int CumulativeDays[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int64_t SecondsPerDay = 86400;

// Division rounding towards minus infinity, so years before 1 still count right;
// for the years in use it equals plain integer division.
constexpr int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : Days[month - 1];
}

// Reads one to maxDigits decimal digits at text[pos], advancing pos.
std::optional<int> readNumber(std::string_view text, std::size_t& pos, int maxDigits) {
    int value = 0;
    int digits = 0;
    while (pos < text.size() && digits < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        ++pos;
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return value;
}

bool readSeparator(std::string_view text, std::size_t& pos, char separator) {
    if (pos < text.size() && text[pos] == separator) {
        ++pos;
        return true;
    }
    return false;
}

} // namespace

DateTime::DateTime(int year, int month, int day, int hour, int minute, int second, int offsetSeconds)
    : _date(year, month, day), _time(hour, minute, second, offsetSeconds) {}

DateTime DateTime::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    if (::localtime_r(&ts.tv_sec, &local) == nullptr) {
        throw SystemException();
    }
    // tm_gmtoff is already seconds east of UTC.
    return DateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                    local.tm_sec, static_cast<int>(local.tm_gmtoff));
}

DateTime DateTime::nowUTC() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return fromEpochSeconds(ts.tv_sec, 0);
}

DateTime DateTime::fromEpochSeconds(int64_t seconds, int offsetSeconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (static_cast<int64_t>(t) != seconds || ::gmtime_r(&t, &utc) == nullptr) {
        throw Exception("Exception", EOVERFLOW,
                        "Seconds " + std::to_string(seconds) + " cannot be turned into a calendar time");
    }
    const long year = static_cast<long>(utc.tm_year) + 1900;
    if (year < 0 || year > 0xFFFF) {
        throw Exception("Exception", EOVERFLOW,
                        "Year " + std::to_string(year) + " of seconds " + std::to_string(seconds) +
                            " does not fit a date");
    }
    return DateTime(static_cast<int>(year), utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                    offsetSeconds);
}

std::optional<DateTime> DateTime::parse(std::string_view text, int offsetSeconds) {
    std::size_t pos = 0;
    const auto year = readNumber(text, pos, 5);
    if (!year || !readSeparator(text, pos, '/')) return std::nullopt;
    const auto month = readNumber(text, pos, 2);
    if (!month || !readSeparator(text, pos, '/')) return std::nullopt;
    const auto day = readNumber(text, pos, 2);
    if (!day || !readSeparator(text, pos, ' ')) return std::nullopt;
    const auto hour = readNumber(text, pos, 2);
    if (!hour || !readSeparator(text, pos, ':')) return std::nullopt;
    const auto minute = readNumber(text, pos, 2);
    if (!minute || !readSeparator(text, pos, ':')) return std::nullopt;
    const auto second = readNumber(text, pos, 2);
    if (!second || pos != text.size()) return std::nullopt;

    if (*year > 0xFFFF || *month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) ||
        *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    return DateTime(*year, *month, *day, *hour, *minute, *second, offsetSeconds);
}

int64_t DateTime::epochSeconds() const {
    const int64_t year = this->year();
    const int month = this->month();
    if (month < 1 || month > 12 || day() < 1 || day() > 31 || hour() > 23 || minute() > 59 || second() > 60) {
        throw Exception("Exception", EINVAL, "Date and time " + toString() + " is not a calendar time");
    }
    const int64_t y = year - (month < 3 ? 1 : 0);
    // Days counted from 1900 and shifted by 26028 so that 1970-01-01 is day 0.
    const int64_t days = (year - 1900) * 365 + floorDiv(y, 4) - floorDiv(y, 100) + floorDiv(y, 400) +
                         CumulativeDays[month - 1] + day() - 26028;
    return days * SecondsPerDay + hour() * 3600 + minute() * 60 + second();
}

DateTime& DateTime::addSeconds(int64_t n) {
    int64_t seconds = 0;
    if (__builtin_add_overflow(epochSeconds(), n, &seconds)) {
        throw Exception("Exception", EOVERFLOW,
                        "Adding " + std::to_string(n) + " seconds to " + toString() + " overflows");
    }
    // The zone byte is carried over as it is.
    *this = fromEpochSeconds(seconds, _time.zone() * Time::SecondsPerZoneStep);
    return *this;
}

int64_t DateTime::secondsBetween(const DateTime& a, const DateTime& b) { return a.epochSeconds() - b.epochSeconds(); }

bool DateTime::equals(const DateTime& other) const { return _date == other._date && _time == other._time; }

bool DateTime::lessThan(const DateTime& other) const {
    return _date < other._date || (_date == other._date && _time < other._time);
}

bool DateTime::greaterThan(const DateTime& other) const {
    return _date > other._date || (_date == other._date && _time > other._time);
}

void DateTime::toString(IFormatable& out) const {
    out.format("%d/%02d/%02d %02d:%02d:%02d", year(), month(), day(), hour(), minute(), second());
}

void DateTime::encode(uint8_t* out, ByteOrder order) const {
    _date.encode(out, order);
    _time.encode(out + 4, order);
}

void DateTime::decode(const uint8_t* in, ByteOrder order) {
    _date.decode(in, order);
    _time.decode(in + 4, order);
}

} // namespace ostrel

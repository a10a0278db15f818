#pragma once

#include "base/DateTime.h"
#include "base/IEquatable.h"
#include "base/IStringConvertable.h"

namespace ostrel {

// A stretch of time from one date-time to another. Whether `to` must follow
// `from` is up to the user of the interval; the value itself accepts any pair.
class Interval : public IEquatable<Interval>, public IStringConvertable {
public:
    // Both ends unset.
    Interval() = default;
    Interval(const DateTime& from, const DateTime& to) : _from(from), _to(to) {}

    const DateTime& from() const { return _from; }
    const DateTime& to() const { return _to; }

    // Both ends equal.
    bool equals(const Interval& other) const override { return _from == other._from && _to == other._to; }

    using IStringConvertable::toString;
    // "[%d/%02d/%02d %02d:%02d:%02d, %d/%02d/%02d %02d:%02d:%02d]": from, then to.
    void toString(IFormatable& out) const override;

private:
    DateTime _from;
    DateTime _to;
};

} // namespace ostrel

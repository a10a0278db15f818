#pragma once

#include "base/IEquatable.h"

namespace ostrel {

// Values with a total order. Implementations give equals(), lessThan() and
// greaterThan(); the remaining operations and the relational operators follow.
template <typename T>
class IComparable : public IEquatable<T> {
public:
    virtual bool lessThan(const T& other) const = 0;
    virtual bool greaterThan(const T& other) const = 0;
    virtual bool lessOrEqual(const T& other) const { return lessThan(other) || this->equals(other); }
    virtual bool greaterOrEqual(const T& other) const { return greaterThan(other) || this->equals(other); }

    friend bool operator<(const T& a, const T& b) { return a.lessThan(b); }
    friend bool operator>(const T& a, const T& b) { return a.greaterThan(b); }
    friend bool operator<=(const T& a, const T& b) { return a.lessOrEqual(b); }
    friend bool operator>=(const T& a, const T& b) { return a.greaterOrEqual(b); }

protected:
    IComparable() = default;
    IComparable(const IComparable&) = default;
    IComparable& operator=(const IComparable&) = default;
};

} // namespace ostrel

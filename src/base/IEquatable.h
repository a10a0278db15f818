#pragma once

namespace ostrel {

// Values that can tell whether they are equal to another value of their type.
// Implementations give equals(); == and != follow from it, so code can use the
// operators and the named operations alike.
template <typename T>
class IEquatable {
public:
    virtual ~IEquatable() = default;

    virtual bool equals(const T& other) const = 0;
    virtual bool notEquals(const T& other) const { return !equals(other); }

    // != is derived from == by the language.
    friend bool operator==(const T& a, const T& b) { return a.equals(b); }

protected:
    IEquatable() = default;
    IEquatable(const IEquatable&) = default;
    IEquatable& operator=(const IEquatable&) = default;
};

} // namespace ostrel

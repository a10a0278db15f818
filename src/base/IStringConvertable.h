#pragma once

#include "base/IFormatable.h"

#include <string>

namespace ostrel {

// Anything that can write its text form into an IFormatable.
class IStringConvertable {
public:
    virtual ~IStringConvertable() = default;
    virtual void toString(IFormatable& out) const = 0;

    // The text form as a string (through a 2048-byte buffer).
    std::string toString() const;
};

} // namespace ostrel

#include "base/Interval.h"

namespace ostrel {

void Interval::toString(IFormatable& out) const {
    out.format("[%d/%02d/%02d %02d:%02d:%02d, %d/%02d/%02d %02d:%02d:%02d]", _from.year(), _from.month(),
               _from.day(), _from.hour(), _from.minute(), _from.second(), _to.year(), _to.month(), _to.day(),
               _to.hour(), _to.minute(), _to.second());
}

} // namespace ostrel

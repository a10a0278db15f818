#pragma once

namespace ostrel {

// Send priority of a packet. High is used only for alive checks; it overtakes
// queued Normal data at the next packet boundary.
enum class Priority : int { High = 0, Normal = 1 };

} // namespace ostrel

#pragma once

#include <cstddef>
#include <cstdint>

// The walk of the packet fuzz target: a site's byte stream cut into packets
// by the packet reader, each packet handed to every analyzer and parser.
namespace ostrel::fuzz {

// `stream` is what a site sent; the reader takes it in pieces of `step` bytes
// (all at once when 0), as the socket would deliver it. A packet the reader
// refuses (payload size out of range) ends the stream, as it closes the
// session. Every complete packet goes through the playback analyzer's
// dispatch, the plain client analyzer's and the common one's, then through
// each parser whatever its type. A parser may refuse a packet with
// ByteBufferException; anything else is a fault.
void analyzeStream(const std::uint8_t* stream, std::size_t size, std::size_t step);

} // namespace ostrel::fuzz

// Fuzzes the packet reader and every packet analyzer and parser with what a
// hostile or broken site could send. Input: byte 0 is the size of the pieces
// the stream arrives in (0: all at once), the rest is the byte stream.
#include "fuzz/FuzzPackets.h"
#include "fuzz/FuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return -1;
    }
    ostrel::fuzz::analyzeStream(data + 1, size - 1, data[0]);
    return 0;
}

// Fuzzes the storage open on a whole (small) file: the input is the file.
// It is opened read-only without correction and then writable with
// correction and recovery, read through every track each time, and closed.
// Damage may refuse the open or raise VarnelException; anything else (a
// crash, a sanitizer report, another exception, an endless walk) is a fault.
#include "fuzz/FuzzStorage.h"
#include "fuzz/FuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Larger files only repeat what the page target covers; keep each run quick.
    if (size > 256 * 1024) {
        return -1;
    }
    ostrel::fuzz::openAndReadAll(data, size, ostrel::fuzz::OpenMode::ReadOnly);
    ostrel::fuzz::openAndReadAll(data, size, ostrel::fuzz::OpenMode::Recover);
    return 0;
}

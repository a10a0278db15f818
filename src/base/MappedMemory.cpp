#include "base/MappedMemory.h"

#include <new>
#include <sys/mman.h>
#include <utility>

namespace ostrel {

void* MappedMemory::map(std::size_t size) {
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return data;
}

void MappedMemory::unmap(void* data, std::size_t size) {
    if (data != nullptr) {
        ::munmap(data, size);
    }
}

MappedMemory::MappedMemory(std::size_t size) {
    if (size > 0) {
        _data = static_cast<std::uint8_t*>(map(size));
        _size = size;
    }
}

MappedMemory::~MappedMemory() { reset(); }

MappedMemory::MappedMemory(MappedMemory&& other) noexcept
    : _data(std::exchange(other._data, nullptr)), _size(std::exchange(other._size, 0)) {}

MappedMemory& MappedMemory::operator=(MappedMemory&& other) noexcept {
    if (this != &other) {
        reset();
        _data = std::exchange(other._data, nullptr);
        _size = std::exchange(other._size, 0);
    }
    return *this;
}

void MappedMemory::reset() {
    unmap(_data, _size);
    _data = nullptr;
    _size = 0;
}

} // namespace ostrel

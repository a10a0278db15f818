#pragma once

#include "storage/aio/IStorageFile.h"

#include <cstdint>
#include <map>
#include <vector>

namespace ostrel {

// A storage file seen through the writes made to it so far, none of which
// reach the file: reads answer what the file would hold if they had. A
// repair works on one, so that it can mend, reopen and check the result as
// often as it likes and then either hand every changed sector to the disk
// in one journaled step or drop them all, leaving the file as it was.
class OverlayStorageFile final : public IStorageFile {
public:
    explicit OverlayStorageFile(IStorageFile& base);

    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override;
    // Nothing to make durable: nothing was written.
    void flush() override {}
    std::uint64_t size() const override { return _base.size(); }
    std::uint32_t sectorSize() const override { return _base.sectorSize(); }
    bool isWritable() const override { return _base.isWritable(); }
    const std::string& path() const override { return _base.path(); }
    int handle() const override { return _base.handle(); }

    // The latest content of every sector written, by offset.
    const std::map<std::uint64_t, std::vector<std::uint8_t>>& sectors() const { return _sectors; }
    bool isEmpty() const { return _sectors.empty(); }

private:
    // Keeps `length` bytes at `offset` (whole sectors).
    void keep(const std::uint8_t* data, std::uint64_t offset, std::size_t length);

    IStorageFile& _base;
    std::map<std::uint64_t, std::vector<std::uint8_t>> _sectors;
};

} // namespace ostrel

#pragma once

#include <cstdint>
#include <source_location>
#include <string>

namespace ostrel {

// One open file named by a UTF-8 path, closed when the object ends. Movable,
// not copyable: the descriptor has exactly one owner. Every failure throws
// SystemException carrying errno and the path; using a closed file throws
// SystemException (EBADF).
class AppFile {
public:
    // Bits of the open mode.
    static constexpr int Read = 1;
    static constexpr int Write = 2;
    // Every write reaches the device before the call returns (O_DSYNC).
    static constexpr int WriteThrough = 4;
    // Create a new file; it is an error if the path exists. Without this bit
    // the file must exist.
    static constexpr int CreateNew = 8;

    // Bits of the sharing argument.
    static constexpr int ShareRead = 1;
    static constexpr int ShareWrite = 2;

    AppFile() = default;
    virtual ~AppFile();
    AppFile(AppFile&& other) noexcept;
    AppFile& operator=(AppFile&& other) noexcept;
    AppFile(const AppFile&) = delete;
    AppFile& operator=(const AppFile&) = delete;

    // Opens `path` with the mode bits above; at least one of Read and Write is
    // needed and unknown bits are refused (EINVAL). The sharing bits are
    // accepted for callers written against share-mode platforms and have no
    // effect: POSIX has no share modes, other openers are never locked out.
    // Opening an object that already holds an open file throws (EBUSY) rather
    // than dropping that file.
    void open(const std::string& path, int mode, int sharing = ShareRead);
    // Closes the file; closing a closed file does nothing. A close that reports
    // an error (a delayed write failure) throws, the descriptor is released anyway.
    void close();
    bool isOpen() const { return _fd >= 0; }
    // The descriptor while open (-1 when closed), for calls this class does not
    // wrap (positioned I/O, locks); it stays owned by this object.
    int descriptor() const { return _fd; }
    // The path given to the last open.
    const std::string& path() const { return _path; }

    // Reads up to n bytes at the current position; fewer only at the end of the file.
    int64_t read(void* buffer, int64_t n);
    // Writes all n bytes at the current position and returns n.
    int64_t write(const void* buffer, int64_t n);
    // Moves the current position to `offset` bytes from the start.
    void seek(int64_t offset);
    // The current position.
    int64_t position() const;
    int64_t size() const;
    // Cuts (or extends) the file at the current position.
    void truncate();
    // Writes the file's data through to the device.
    void flush();

    // The static file operations, as File has them.
    static void create(const std::string& path, int64_t size);
    static bool exists(const std::string& path);
    static bool remove(const std::string& path);

private:
    // Throws for a closed file, located at the calling operation.
    void requireOpen(const char* operation, std::source_location where = std::source_location::current()) const;

    int _fd = -1;
    std::string _path;
};

} // namespace ostrel

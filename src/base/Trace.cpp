#include "base/Trace.h"

#include "base/Exception.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace ostrel {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class TraceSink {
public:
    static TraceSink& instance() {
        static TraceSink sink;
        return sink;
    }

    bool enabled() const { return _file != nullptr; }

    void write(const char* fmt, va_list args) {
        if (!_file) {
            return;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        std::vfprintf(_file.get(), fmt, args);
        std::fflush(_file.get());
    }

private:
    TraceSink() {
        const char* path = std::getenv("OSTREL_TRACE");
        if (path != nullptr && *path != '\0') {
            _file.reset(std::fopen(path, "a"));
        }
    }

    std::mutex _mutex;
    std::unique_ptr<std::FILE, FileCloser> _file;
};

} // namespace

void trace(const char* fmt, ...) {
    TraceSink& sink = TraceSink::instance();
    if (!sink.enabled()) {
        return;
    }
    va_list args;
    va_start(args, fmt);
    sink.write(fmt, args);
    va_end(args);
}

void traceException(const Exception& exception) {
    if (!traceEnabled()) {
        return;
    }
    trace("%s\n", exception.toString().c_str());
}

bool traceEnabled() { return TraceSink::instance().enabled(); }

} // namespace ostrel

#pragma once

// Helpers for the tests of the database layer and its tables: a private
// directory for database files and a log handler that keeps what was logged.

#include "base/Log.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrel::test {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes.
class DatabaseDirectory {
public:
    DatabaseDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-db-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        _path = pattern;
    }
    ~DatabaseDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    DatabaseDirectory(const DatabaseDirectory&) = delete;
    DatabaseDirectory& operator=(const DatabaseDirectory&) = delete;

    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

// Installs itself as the log handler for its lifetime and keeps every line.
class CapturingLogHandler : public ILogHandler {
public:
    struct Line {
        int level;
        std::string text;
    };

    CapturingLogHandler() { setLogHandler(this); }
    ~CapturingLogHandler() override { setLogHandler(nullptr); }

    void log(int level, const char* text, const char* location) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _lines.push_back({level, std::string(text ? text : "") + " @ " + (location ? location : "")});
    }
    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _lines;
    }
    bool contains(const std::string& needle) const {
        for (const Line& line : lines()) {
            if (line.text.find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    mutable std::mutex _mutex;
    std::vector<Line> _lines;
};

} // namespace ostrel::test

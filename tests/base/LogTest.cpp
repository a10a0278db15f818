#include "base/Exception.h"
#include "base/Log.h"
#include "base/UncaughtExceptionHandler.h"
#include "base/thread/Thread.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ostrel;

namespace {

struct Entry {
    int level;
    std::string text;
    std::string location;
};

class RecordingLogHandler : public ILogHandler {
public:
    RecordingLogHandler() { setLogHandler(this); }
    ~RecordingLogHandler() override { setLogHandler(nullptr); }
    void log(int level, const char* text, const char* location) override {
        entries.push_back({level, text, location});
    }
    std::vector<Entry> entries;
};

// The trace sink reads OSTREL_TRACE once per process. Death and exit tests run their
// statement in a re-executed child that inherits the environment, so the parent
// names a fresh file here and the child (re-running the test body) keeps it.
class TraceFile {
public:
    TraceFile() {
        const char* inherited = std::getenv("OSTREL_TRACE");
        if (inherited != nullptr && *inherited != '\0') {
            _path = inherited;
            return;
        }
        _directory = std::filesystem::temp_directory_path() /
                     ("ostrel-logtest-" + std::to_string(::getpid()) + "-" + std::to_string(_serial++));
        std::filesystem::create_directories(_directory);
        _path = (_directory / "trace.txt").string();
        ::setenv("OSTREL_TRACE", _path.c_str(), 1);
    }
    ~TraceFile() {
        if (!_directory.empty()) {
            ::unsetenv("OSTREL_TRACE");
            std::error_code ignored;
            std::filesystem::remove_all(_directory, ignored);
        }
    }
    std::string contents() const {
        std::ifstream in(_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    static inline int _serial = 0;
    std::filesystem::path _directory;
    std::string _path;
};

class NamedThread : public Thread {
public:
    NamedThread(const char* name, void (*body)()) : Thread(name), _body(body) {}
    ~NamedThread() override { join(); }
    void run() override { _body(); }

private:
    void (*_body)();
};

} // namespace

TEST(LogTest, LevelNames) {
    const std::vector<std::pair<int, const char*>> names = {
        {Fatal, "FATAL"}, {Error, "ERROR"}, {Warn, "WARN"},     {Info, "INFO"},
        {Debug, "DEBUG"}, {5, "UNKNOWN"},   {-1, "UNKNOWN"},
    };
    for (const auto& [level, name] : names) {
        EXPECT_STREQ(logLevelName(level), name) << level;
    }
}

TEST(LogTest, TheDefaultHandlerIsUsedUntilAnotherIsInstalled) {
    ILogHandler& initial = logHandler();
    EXPECT_NE(dynamic_cast<DefaultLogHandler*>(&initial), nullptr);
    {
        RecordingLogHandler recorder;
        EXPECT_EQ(&logHandler(), &recorder);
    }
    EXPECT_EQ(&logHandler(), &initial);
}

TEST(LogTest, LogPassesTheCallersLocation) {
    RecordingLogHandler recorder;
    const int line = __LINE__ + 1;
    log(Warn, "low disk space");
    ASSERT_EQ(recorder.entries.size(), 1u);
    EXPECT_EQ(recorder.entries[0].level, Warn);
    EXPECT_EQ(recorder.entries[0].text, "low disk space");
    const std::string& location = recorder.entries[0].location;
    // "function(file:line)"
    EXPECT_NE(location.find("LogTest_LogPassesTheCallersLocation_Test::TestBody()("), std::string::npos)
        << location;
    EXPECT_NE(location.find("LogTest.cpp:" + std::to_string(line) + ")"), std::string::npos) << location;
    EXPECT_EQ(location.back(), ')');
}

TEST(LogDeathTest, FatalEndsTheProcessAfterTracingTheLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TraceFile traceFile;
    EXPECT_DEATH(log(Fatal, "journal unreadable"),
                 "\\[FATAL\\] Log in thread \"Null\"\\(ID=[0-9]+\\): journal unreadable\tat .*LogTest");
    const std::string traced = traceFile.contents();
    EXPECT_NE(traced.find("[FATAL] Log in thread \"Null\"(ID="), std::string::npos) << traced;
    EXPECT_NE(traced.find("): journal unreadable\tat "), std::string::npos) << traced;
}

TEST(LogDeathTest, OtherLevelsOnlyTraceAndTheProcessGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TraceFile traceFile;
    EXPECT_EXIT(
        {
            for (int level : {int(Error), int(Warn), int(Info), int(Debug), 7}) {
                log(level, "still here");
            }
            NamedThread worker("worker", [] { log(Info, "from a worker"); });
            worker.start();
            worker.join();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string traced = traceFile.contents();
    for (const char* name : {"ERROR", "WARN", "INFO", "DEBUG", "UNKNOWN"}) {
        const std::string expected = std::string("[") + name + "] Log in thread \"Null\"(ID=";
        EXPECT_NE(traced.find(expected), std::string::npos) << name << "\n" << traced;
    }
    EXPECT_NE(traced.find("): still here\tat "), std::string::npos) << traced;
    EXPECT_NE(traced.find("LogTest.cpp:"), std::string::npos) << traced;
    EXPECT_NE(traced.find("[INFO] Log in thread \"worker\"(ID="), std::string::npos) << traced;
    EXPECT_NE(traced.find("Starting thread: \"worker\"(ID="), std::string::npos) << traced;
    EXPECT_NE(traced.find("Finishing thread: \"worker\"(ID="), std::string::npos) << traced;
}

TEST(LogDeathTest, TheDefaultUncaughtHandlerTracesTheException) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TraceFile traceFile;
    EXPECT_EXIT(
        {
            NamedThread standard("loader", [] { throw std::runtime_error("page missing"); });
            standard.start();
            standard.join();
            NamedThread family("checker", [] { throw SystemException(2); });
            family.start();
            family.join();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string traced = traceFile.contents();
    EXPECT_NE(traced.find("Exception in thread \"loader\"(ID="), std::string::npos) << traced;
    EXPECT_NE(traced.find(") UnknownException: page missing\tat unknown_function(unknown_file:0)\n"),
              std::string::npos)
        << traced;
    EXPECT_NE(traced.find("Exception in thread \"checker\"(ID="), std::string::npos) << traced;
    EXPECT_NE(traced.find(") SystemException: No such file or directory\tat "), std::string::npos) << traced;
    EXPECT_NE(traced.find("LogTest.cpp:"), std::string::npos) << traced;
}

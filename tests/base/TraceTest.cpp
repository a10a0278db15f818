#include "base/Exception.h"
#include "base/Trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace ostrel {
namespace {

// The sink reads OSTREL_TRACE once, when the first line is traced, so each
// case runs in a child process with its own environment.

TEST(TraceTest, WritesNothingWithoutTheVariable) {
    EXPECT_EXIT(
        {
            unsetenv("OSTREL_TRACE");
            trace("hello %d\n", 1);
            std::exit(traceEnabled() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(TraceTest, AppendsLinesToTheNamedFile) {
    char path[] = "/tmp/ostrel-trace-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    {
        std::ofstream existing(path);
        existing << "earlier\n";
    }
    EXPECT_EXIT(
        {
            setenv("OSTREL_TRACE", path, 1);
            trace("line %d\n", 42);
            traceException(SystemException(2));
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    EXPECT_EQ(0u, text.find("earlier\nline 42\nSystemException: "));
    EXPECT_EQ('\n', text.back());
    std::remove(path);
}

} // namespace
} // namespace ostrel

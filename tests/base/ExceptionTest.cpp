#include "base/Exception.h"
#include "base/FormatableBuffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace ostrel {
namespace {

[[noreturn]] void throwNotFound() { throw SystemException(ENOENT); }

TEST(ExceptionTest, SystemExceptionCarriesCodeTextAndThrowSite) {
    try {
        throwNotFound();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ("SystemException", e.typeName());
        EXPECT_EQ(ENOENT, e.code());
        ASSERT_NE(nullptr, e.message());
        EXPECT_STREQ(std::strerror(ENOENT), e.message());
        EXPECT_NE(nullptr, std::strstr(e.file(), "ExceptionTest.cpp"));
        EXPECT_NE(nullptr, std::strstr(e.function(), "throwNotFound"));
        EXPECT_GT(e.line(), 0);

        const std::string expected = std::string("SystemException: ") + std::strerror(ENOENT) + "\tat " +
                                     e.function() + "(" + e.file() + ":" + std::to_string(e.line()) + ")";
        EXPECT_EQ(expected, e.toString());
        EXPECT_EQ(expected, std::string(e.what()));
    }
}

TEST(ExceptionTest, SystemExceptionReadsErrnoWhenNoCodeIsGiven) {
    errno = EACCES;
    const SystemException e;
    EXPECT_EQ(EACCES, e.code());
}

TEST(ExceptionTest, SystemExceptionWithoutSystemTextHasNoMessage) {
    const SystemException e(987654);
    EXPECT_EQ(nullptr, e.message());
    EXPECT_EQ(0u, e.toString().find("SystemException: \tat "));
}

TEST(ExceptionTest, SystemExceptionWithContextKeepsTheSystemText) {
    const SystemException e(ENOENT, "/no/such/file");
    ASSERT_NE(nullptr, e.message());
    EXPECT_NE(nullptr, std::strstr(e.message(), std::strerror(ENOENT)));
    EXPECT_NE(nullptr, std::strstr(e.message(), "/no/such/file"));
}

TEST(ExceptionTest, AssertionFailExceptionHoldsTheCondition) {
    const AssertionFailException e("lSizeIn.QuadPart == lSizeOut.QuadPart");
    EXPECT_STREQ("AssertionFailException", e.typeName());
    EXPECT_EQ(0, e.code());
    EXPECT_STREQ("lSizeIn.QuadPart == lSizeOut.QuadPart", e.message());
}

TEST(ExceptionTest, StandardAndUnknownExceptionsHaveFixedOriginAndShortText) {
    const StandardException standard(std::runtime_error("bad thing"));
    EXPECT_STREQ("UnknownException", standard.typeName());
    EXPECT_STREQ("unknown_file", standard.file());
    EXPECT_STREQ("unknown_function", standard.function());
    EXPECT_EQ(0, standard.line());
    EXPECT_EQ("UnknownException: bad thing", standard.toString());

    const UnknownException unknown;
    EXPECT_STREQ("unknown_message", unknown.message());
    EXPECT_EQ("UnknownException", unknown.toString());
}

TEST(ExceptionTest, ToStringIntoASmallBufferIsCutNotOverrun) {
    const SystemException e(ENOENT);
    FormatableBuffer<17> small;
    e.toString(small);
    EXPECT_EQ(16u, std::strlen(small.c_str()));
    EXPECT_EQ(std::string("SystemException:"), small.c_str());
}

} // namespace
} // namespace ostrel

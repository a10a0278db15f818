#include "base/Assert.h"

#include <gtest/gtest.h>

#include <thread>

namespace ostrel {
namespace {

int evaluations = 0;
bool countedFalse() {
    ++evaluations;
    return false;
}

TEST(AssertTest, OffByDefaultTheConditionIsNotEvaluated) {
    evaluations = 0;
    EXPECT_FALSE(assertionsEnabled());
    EXPECT_NO_THROW(OSTREL_ASSERT(countedFalse()));
    EXPECT_EQ(0, evaluations);
}

TEST(AssertTest, InsideAScopeAFalseConditionThrowsItsText) {
    AssertionScope scope;
    try {
        OSTREL_ASSERT(1 + 1 == 3);
        FAIL() << "no exception";
    } catch (const AssertionFailException& e) {
        EXPECT_STREQ("1 + 1 == 3", e.message());
    }
    EXPECT_NO_THROW(OSTREL_ASSERT(1 + 1 == 2));
}

TEST(AssertTest, TheScopeEndsEvenWhenItsChecksThrow) {
    try {
        AssertionScope scope;
        OSTREL_ASSERT(false);
    } catch (const AssertionFailException&) {
    }
    EXPECT_FALSE(assertionsEnabled());
}

TEST(AssertTest, ScopesNestAndBelongToOneThread) {
    AssertionScope outer;
    {
        AssertionScope inner;
        EXPECT_TRUE(assertionsEnabled());
    }
    EXPECT_TRUE(assertionsEnabled());

    bool otherThreadSees = true;
    std::thread other([&] { otherThreadSees = assertionsEnabled(); });
    other.join();
    EXPECT_FALSE(otherThreadSees);
}

} // namespace
} // namespace ostrel

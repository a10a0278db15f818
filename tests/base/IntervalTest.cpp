#include "base/Interval.h"

#include <gtest/gtest.h>

using namespace ostrel;

TEST(IntervalTest, EqualWhenBothEndsAreEqual) {
    const DateTime a(2011, 2, 28, 0, 0, 0), b(2011, 3, 1, 0, 0, 0), c(2011, 3, 2, 0, 0, 0);
    EXPECT_EQ(Interval(a, b), Interval(a, b));
    EXPECT_TRUE(Interval(a, b).equals(Interval(a, b)));
    EXPECT_NE(Interval(a, b), Interval(a, c));
    EXPECT_NE(Interval(a, c), Interval(b, c));
    EXPECT_TRUE(Interval(a, b).notEquals(Interval(b, a)));
    // Ends compare as date-times, so the zone plays no part.
    EXPECT_EQ(Interval(a, b), Interval(DateTime(2011, 2, 28, 0, 0, 0, 3600), b));
}

TEST(IntervalTest, Text) {
    const Interval interval(DateTime(2011, 2, 28, 23, 0, 0), DateTime(2011, 3, 1, 0, 30, 5));
    EXPECT_EQ(interval.toString(), "[2011/02/28 23:00:00, 2011/03/01 00:30:05]");
    EXPECT_EQ(interval.from(), DateTime(2011, 2, 28, 23, 0, 0));
    EXPECT_EQ(interval.to(), DateTime(2011, 3, 1, 0, 30, 5));
}

TEST(IntervalTest, DefaultHasUnsetEnds) {
    const Interval interval;
    EXPECT_FALSE(interval.from().isSet());
    EXPECT_FALSE(interval.to().isSet());
}

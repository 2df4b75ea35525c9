#include "pipeline/SampleTimer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using dravelin::SampleTimer;

TEST(SampleTimer, StopWithoutStartRecordsNothing) {
    SampleTimer timer;
    EXPECT_EQ(timer.stop(), 0.0);
    EXPECT_EQ(timer.count(), 0);
    EXPECT_TRUE(std::isnan(timer.mean()));
    EXPECT_TRUE(std::isnan(timer.median()));
    EXPECT_EQ(timer.variance(), 0.0);
}

TEST(SampleTimer, StopKeepsTheStartForAnotherMeasurement) {
    SampleTimer timer;
    timer.start();
    const double first = timer.stop();
    const double second = timer.stop();
    EXPECT_GE(first, 0.0);
    EXPECT_GE(second, first);
    EXPECT_EQ(timer.count(), 2);
    EXPECT_TRUE(timer.startTime().has_value());
    EXPECT_DOUBLE_EQ(timer.sum(), first + second);
}

TEST(SampleTimer, StatisticsOverStoredSamples) {
    const SampleTimer three =
        SampleTimer::decode(R"({"sum":6,"sumOfSquares":14,"count":3,"samples":[3,1,2]})");
    EXPECT_EQ(three.mean(), 2.0);
    EXPECT_EQ(three.median(), 2.0);
    EXPECT_EQ(three.variance(), 3.0);
    EXPECT_EQ(three.stdev(), std::sqrt(3.0));

    const SampleTimer two =
        SampleTimer::decode(R"({"sum":5,"sumOfSquares":17,"count":2,"samples":[4,1]})");
    EXPECT_EQ(two.median(), 2.5);
    EXPECT_EQ(two.allSamples(), (std::vector<double>{4, 1}));
}

TEST(SampleTimer, EncodesKeysInOrderAndOmitsAnAbsentStart) {
    SampleTimer timer;
    EXPECT_EQ(timer.encode(), R"({"sum":0.0,"sumOfSquares":0.0,"count":0,"samples":[]})");
    EXPECT_FALSE(SampleTimer::decode(timer.encode()).startTime().has_value());

    timer.start();
    timer.stop();
    const std::string text = timer.encode();
    EXPECT_EQ(text.rfind(R"({"startTime":)", 0), 0u) << text;
    const SampleTimer restored = SampleTimer::decode(text);
    EXPECT_EQ(restored.startTime(), timer.startTime());
    EXPECT_EQ(restored.allSamples(), timer.allSamples());
    EXPECT_EQ(restored.count(), 1);
}

TEST(SampleTimer, DecodingRefusesMissingOrMistypedKeys) {
    for (const char* text : {
             "",
             "[]",
             "{",
             R"({"sumOfSquares":0,"count":0,"samples":[]})",
             R"({"sum":0,"sumOfSquares":0,"samples":[]})",
             R"({"sum":0,"sumOfSquares":0,"count":0})",
             R"({"sum":"0","sumOfSquares":0,"count":0,"samples":[]})",
             R"({"sum":0,"sumOfSquares":0,"count":-1,"samples":[]})",
             R"({"sum":0,"sumOfSquares":0,"count":0,"samples":[true]})",
             R"({"startTime":null,"sum":0,"sumOfSquares":0,"count":0,"samples":[]})",
         }) {
        EXPECT_THROW(SampleTimer::decode(text), std::invalid_argument) << text;
    }
}

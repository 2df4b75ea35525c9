#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// Measures repeated durations (say, each denoising step) and keeps running
// statistics over them. Can be saved to and restored from JSON.
class SampleTimer {
public:
    // Records the current wall-clock time, in seconds.
    void start();
    // Seconds since the last start(), added to the statistics; 0 and nothing
    // recorded when start() was never called. The start time stays, so a
    // second stop() measures again from the same start.
    double stop();

    double mean() const;     // NaN with no samples
    double variance() const; // 0 with fewer than two samples
    double stdev() const;    // 0 with fewer than two samples
    double median() const;   // NaN with no samples: there is nothing to report
    const std::vector<double>& allSamples() const { return samples_; }

    const std::optional<double>& startTime() const { return startTime_; }
    double sum() const { return sum_; }
    double sumOfSquares() const { return sumOfSquares_; }
    int64_t count() const { return count_; }

    // {"startTime"?, "sum", "sumOfSquares", "count", "samples"} in that order;
    // "startTime" only while a start is recorded.
    std::string encode() const;
    // Throws std::invalid_argument for malformed JSON, a missing key other than
    // "startTime", or a value of the wrong type.
    static SampleTimer decode(std::string_view json);

private:
    void addSample(double seconds);

    std::optional<double> startTime_;
    double sum_ = 0.0;
    double sumOfSquares_ = 0.0;
    int64_t count_ = 0;
    std::vector<double> samples_;
};

} // namespace dravelin

#include "pipeline/SampleTimer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace dravelin {

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

void SampleTimer::start() {
    startTime_ = now();
}

double SampleTimer::stop() {
    if (!startTime_) {
        return 0.0;
    }
    const double elapsed = now() - *startTime_;
    addSample(elapsed);
    return elapsed;
}

void SampleTimer::addSample(double seconds) {
    sum_ += seconds;
    sumOfSquares_ += seconds * seconds;
    count_ += 1;
    samples_.push_back(seconds);
}

double SampleTimer::mean() const {
    return sum_ / static_cast<double>(count_);
}

double SampleTimer::variance() const {
    if (count_ < 2) {
        return 0.0;
    }
    const double m = sum_ / static_cast<double>(count_);
    return sumOfSquares_ / static_cast<double>(count_ - 1) - m * m;
}

double SampleTimer::stdev() const {
    return count_ < 2 ? 0.0 : std::sqrt(variance());
}

double SampleTimer::median() const {
    if (samples_.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::vector<double> sorted = samples_;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    if (sorted.size() % 2 == 1) {
        return sorted[middle];
    }
    return (sorted[middle] + sorted[middle - 1]) * 0.5;
}

std::string SampleTimer::encode() const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    if (startTime_) {
        json["startTime"] = *startTime_;
    }
    json["sum"] = sum_;
    json["sumOfSquares"] = sumOfSquares_;
    json["count"] = count_;
    json["samples"] = samples_;
    return json.dump();
}

SampleTimer SampleTimer::decode(std::string_view text) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded() || !json.is_object()) {
        throw std::invalid_argument("A sample timer is stored as a JSON object.");
    }
    auto number = [&](const char* key) -> const nlohmann::json& {
        auto found = json.find(key);
        if (found == json.end()) {
            throw std::invalid_argument(std::string("The stored sample timer has no \"") + key +
                                        "\".");
        }
        if (!found->is_number()) {
            throw std::invalid_argument(std::string("The stored sample timer's \"") + key +
                                        "\" is not a number.");
        }
        return *found;
    };

    SampleTimer timer;
    if (json.contains("startTime")) {
        timer.startTime_ = number("startTime").get<double>();
    }
    timer.sum_ = number("sum").get<double>();
    timer.sumOfSquares_ = number("sumOfSquares").get<double>();
    const nlohmann::json& count = number("count");
    if (!count.is_number_integer() || count.get<int64_t>() < 0) {
        throw std::invalid_argument(
            "The stored sample timer's \"count\" is not a non-negative integer.");
    }
    timer.count_ = count.get<int64_t>();
    auto samples = json.find("samples");
    if (samples == json.end() || !samples->is_array()) {
        throw std::invalid_argument("The stored sample timer has no \"samples\" list.");
    }
    for (const nlohmann::json& sample : *samples) {
        if (!sample.is_number()) {
            throw std::invalid_argument("The stored sample timer has a sample that is not a "
                                        "number.");
        }
        timer.samples_.push_back(sample.get<double>());
    }
    return timer;
}

} // namespace dravelin

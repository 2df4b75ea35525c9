#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravelin {

// A network configuration that cannot be built: a value of the wrong type,
// an impossible size, or an option this runtime does not implement. The
// message names the key.
class ConfigurationError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Reads a model hub config.json the way the libraries that wrote it do: a
// missing key (or a JSON null) takes the library's default; a present key of
// the wrong type is refused with its name.
//
// Every number is read within bounds, so that a hostile or mistyped value is
// refused with the allowed range before anything is sized by it. Reads that
// name no upper bound use kLargestCount, beyond any real size or count but
// far from overflowing the products they take part in.
class ConfigReader {
public:
    static constexpr int64_t kLargestCount = int64_t{1} << 20;
    // Lists beyond this length (per-block values, say) are refused.
    static constexpr size_t kLongestList = 64;

    explicit ConfigReader(const nlohmann::json& config);

    bool has(const std::string& key) const;
    // Whole numbers from `minimum` to `maximum`.
    int64_t integer(const std::string& key, int64_t fallback, int64_t minimum = 1,
                    int64_t maximum = kLargestCount) const;
    // Finite numbers from `minimum` to `maximum`.
    double number(const std::string& key, double fallback,
                  double minimum = -std::numeric_limits<double>::max(),
                  double maximum = std::numeric_limits<double>::max()) const;
    std::string string(const std::string& key, const std::string& fallback) const;
    bool boolean(const std::string& key, bool fallback) const;
    std::vector<int64_t> integers(const std::string& key, const std::vector<int64_t>& fallback,
                                  int64_t minimum = 1, int64_t maximum = kLargestCount) const;
    std::vector<std::string> strings(const std::string& key,
                                     const std::vector<std::string>& fallback) const;

    // "config.json: \"key\" …" for messages about one key.
    static std::string about(const std::string& key);
    // A value as a message may show it: scalars as written (long strings cut
    // short), lists and objects by their size only, never walked.
    static std::string excerpt(const nlohmann::json& value);

private:
    const nlohmann::json* find(const std::string& key) const;
    int64_t toInteger(const nlohmann::json& value, const std::string& key, int64_t minimum,
                      int64_t maximum) const;

    const nlohmann::json& config_;
};

} // namespace dravelin

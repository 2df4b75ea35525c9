#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
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
class ConfigReader {
public:
    explicit ConfigReader(const nlohmann::json& config);

    bool has(const std::string& key) const;
    // Integers must be whole numbers; `minimum` bounds them from below.
    int64_t integer(const std::string& key, int64_t fallback, int64_t minimum = 1) const;
    double number(const std::string& key, double fallback) const;
    std::string string(const std::string& key, const std::string& fallback) const;
    bool boolean(const std::string& key, bool fallback) const;
    std::vector<int64_t> integers(const std::string& key, const std::vector<int64_t>& fallback,
                                  int64_t minimum = 1) const;
    std::vector<std::string> strings(const std::string& key,
                                     const std::vector<std::string>& fallback) const;

    // "config.json: \"key\" …" for messages about one key.
    static std::string about(const std::string& key);

private:
    const nlohmann::json* find(const std::string& key) const;
    int64_t toInteger(const nlohmann::json& value, const std::string& key, int64_t minimum) const;

    const nlohmann::json& config_;
};

} // namespace dravelin

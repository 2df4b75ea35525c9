#include "nn/compute/ConfigReader.h"

#include "core/TextExcerpt.h"

#include <cmath>

namespace dravelin {

namespace {

std::string range(int64_t minimum, int64_t maximum) {
    return "from " + std::to_string(minimum) + " to " + std::to_string(maximum);
}

std::string range(double minimum, double maximum) {
    return "from " + nlohmann::json(minimum).dump() + " to " + nlohmann::json(maximum).dump();
}

} // namespace

ConfigReader::ConfigReader(const nlohmann::json& config) : config_(config) {
    if (!config_.is_object()) {
        throw ConfigurationError("config.json does not hold a JSON object.");
    }
}

std::string ConfigReader::about(const std::string& key) {
    return "config.json: \"" + dravelin::excerpt(key) + "\"";
}

std::string ConfigReader::excerpt(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::array:
        return "a list of " + std::to_string(value.size()) +
               (value.size() == 1 ? " value" : " values");
    case nlohmann::json::value_t::object:
        return "an object of " + std::to_string(value.size()) + " keys";
    case nlohmann::json::value_t::string:
        return nlohmann::json(dravelin::excerpt(value.get_ref<const std::string&>(), 40)).dump();
    case nlohmann::json::value_t::binary:
        return "binary data";
    default:
        return value.dump();
    }
}

const nlohmann::json* ConfigReader::find(const std::string& key) const {
    auto found = config_.find(key);
    return (found == config_.end() || found->is_null()) ? nullptr : &*found;
}

bool ConfigReader::has(const std::string& key) const {
    return find(key) != nullptr;
}

int64_t ConfigReader::toInteger(const nlohmann::json& value, const std::string& key,
                                int64_t minimum, int64_t maximum) const {
    const std::string allowed = range(minimum, maximum);
    if (value.is_number_unsigned()) {
        // Beyond int64 too: read as unsigned, so never wrapped to a negative.
        const auto result = value.get<uint64_t>();
        if (minimum >= 0 && result >= static_cast<uint64_t>(minimum) &&
            result <= static_cast<uint64_t>(maximum)) {
            return static_cast<int64_t>(result);
        }
    } else if (value.is_number_integer()) {
        const auto result = value.get<int64_t>();
        if (result >= minimum && result <= maximum) {
            return result;
        }
    } else if (value.is_number_float() && std::isfinite(value.get<double>()) &&
               std::floor(value.get<double>()) == value.get<double>()) {
        const double result = value.get<double>();
        if (std::fabs(result) >= 0x1p63) {
            throw ConfigurationError(about(key) + " is " + value.dump() +
                                     ", a whole number beyond 64 bits; it must be " + allowed +
                                     ".");
        }
        if (result >= static_cast<double>(minimum) && result <= static_cast<double>(maximum)) {
            return static_cast<int64_t>(result);
        }
    } else {
        throw ConfigurationError(about(key) + " must be a whole number " + allowed + ", not " +
                                 excerpt(value) + ".");
    }
    throw ConfigurationError(about(key) + " is " + value.dump() + "; it must be " + allowed + ".");
}

int64_t ConfigReader::integer(const std::string& key, int64_t fallback, int64_t minimum,
                              int64_t maximum) const {
    const nlohmann::json* value = find(key);
    return value == nullptr ? fallback : toInteger(*value, key, minimum, maximum);
}

double ConfigReader::number(const std::string& key, double fallback, double minimum,
                            double maximum) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_number() || !std::isfinite(value->get<double>())) {
        throw ConfigurationError(about(key) + " must be a number, not " + excerpt(*value) + ".");
    }
    const double result = value->get<double>();
    if (result < minimum || result > maximum) {
        throw ConfigurationError(about(key) + " is " + value->dump() + "; it must be " +
                                 range(minimum, maximum) + ".");
    }
    return result;
}

std::string ConfigReader::string(const std::string& key, const std::string& fallback) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_string()) {
        throw ConfigurationError(about(key) + " must be a string, not " + excerpt(*value) + ".");
    }
    return value->get<std::string>();
}

bool ConfigReader::boolean(const std::string& key, bool fallback) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_boolean()) {
        throw ConfigurationError(about(key) + " must be true or false, not " + excerpt(*value) +
                                 ".");
    }
    return value->get<bool>();
}

std::vector<int64_t> ConfigReader::integers(const std::string& key,
                                            const std::vector<int64_t>& fallback, int64_t minimum,
                                            int64_t maximum) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_array()) {
        throw ConfigurationError(about(key) + " must be a list of whole numbers, not " +
                                 excerpt(*value) + ".");
    }
    if (value->size() > kLongestList) {
        throw ConfigurationError(about(key) + " lists " + std::to_string(value->size()) +
                                 " values; at most " + std::to_string(kLongestList) +
                                 " are allowed.");
    }
    std::vector<int64_t> result;
    for (const nlohmann::json& item : *value) {
        result.push_back(toInteger(item, key, minimum, maximum));
    }
    return result;
}

std::vector<std::string> ConfigReader::strings(const std::string& key,
                                               const std::vector<std::string>& fallback) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    std::vector<std::string> result;
    if (value->is_array() && value->size() <= kLongestList) {
        for (const nlohmann::json& item : *value) {
            if (!item.is_string()) {
                result.clear();
                break;
            }
            result.push_back(item.get<std::string>());
        }
        if (result.size() == value->size()) {
            return result;
        }
    }
    throw ConfigurationError(about(key) + " must be a list of at most " +
                             std::to_string(kLongestList) + " strings, not " + excerpt(*value) +
                             ".");
}

} // namespace dravelin

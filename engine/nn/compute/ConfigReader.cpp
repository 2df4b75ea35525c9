#include "nn/compute/ConfigReader.h"

#include <cmath>

namespace dravelin {

ConfigReader::ConfigReader(const nlohmann::json& config) : config_(config) {
    if (!config_.is_object()) {
        throw ConfigurationError("config.json does not hold a JSON object.");
    }
}

std::string ConfigReader::about(const std::string& key) {
    return "config.json: \"" + key + "\"";
}

const nlohmann::json* ConfigReader::find(const std::string& key) const {
    auto found = config_.find(key);
    return (found == config_.end() || found->is_null()) ? nullptr : &*found;
}

bool ConfigReader::has(const std::string& key) const {
    return find(key) != nullptr;
}

int64_t ConfigReader::toInteger(const nlohmann::json& value, const std::string& key,
                                int64_t minimum) const {
    int64_t result = 0;
    if (value.is_number_integer()) {
        result = value.get<int64_t>();
    } else if (value.is_number_float() && std::floor(value.get<double>()) == value.get<double>() &&
               std::fabs(value.get<double>()) < 1e15) {
        result = static_cast<int64_t>(value.get<double>());
    } else {
        throw ConfigurationError(about(key) + " must be a whole number, not " + value.dump() + ".");
    }
    if (result < minimum) {
        throw ConfigurationError(about(key) + " is " + std::to_string(result) +
                                 "; it must be at least " + std::to_string(minimum) + ".");
    }
    return result;
}

int64_t ConfigReader::integer(const std::string& key, int64_t fallback, int64_t minimum) const {
    const nlohmann::json* value = find(key);
    return value == nullptr ? fallback : toInteger(*value, key, minimum);
}

double ConfigReader::number(const std::string& key, double fallback) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_number()) {
        throw ConfigurationError(about(key) + " must be a number, not " + value->dump() + ".");
    }
    return value->get<double>();
}

std::string ConfigReader::string(const std::string& key, const std::string& fallback) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_string()) {
        throw ConfigurationError(about(key) + " must be a string, not " + value->dump() + ".");
    }
    return value->get<std::string>();
}

bool ConfigReader::boolean(const std::string& key, bool fallback) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_boolean()) {
        throw ConfigurationError(about(key) + " must be true or false, not " + value->dump() + ".");
    }
    return value->get<bool>();
}

std::vector<int64_t> ConfigReader::integers(const std::string& key,
                                            const std::vector<int64_t>& fallback,
                                            int64_t minimum) const {
    const nlohmann::json* value = find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (!value->is_array()) {
        throw ConfigurationError(about(key) + " must be a list of whole numbers, not " +
                                 value->dump() + ".");
    }
    std::vector<int64_t> result;
    for (const nlohmann::json& item : *value) {
        result.push_back(toInteger(item, key, minimum));
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
    if (value->is_array()) {
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
    throw ConfigurationError(about(key) + " must be a list of strings, not " + value->dump() + ".");
}

} // namespace dravelin

#include "pipeline/Script.h"

namespace dravelin {

std::string_view rawValue(Script script) {
    switch (script) {
    case Script::latin:
        return "latin";
    case Script::cyrillic:
        return "cyrillic";
    case Script::cjk:
        return "cjk";
    }
    return {};
}

std::optional<Script> scriptFromRawValue(std::string_view text) {
    for (Script script : {Script::latin, Script::cyrillic, Script::cjk}) {
        if (rawValue(script) == text) {
            return script;
        }
    }
    return std::nullopt;
}

} // namespace dravelin

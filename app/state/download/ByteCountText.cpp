#include "state/download/ByteCountText.h"

#include <QLocale>

#include <array>
#include <cmath>

namespace dravelin {

QString byteCountText(qint64 bytes) {
    const QLocale locale;
    if (bytes > -1000 && bytes < 1000) {
        const QString count = locale.toString(bytes);
        return bytes == 1 ? QStringLiteral("1 byte") : count + QStringLiteral(" bytes");
    }
    struct Unit {
        const char* name;
        int decimals;
    };
    // Kilobytes are shown whole; larger units keep one decimal, enough to see
    // a download move.
    static constexpr std::array<Unit, 6> units{
        {{"kB", 0}, {"MB", 1}, {"GB", 1}, {"TB", 1}, {"PB", 1}, {"EB", 1}}};
    double scaled = static_cast<double>(bytes);
    for (std::size_t index = 0; index < units.size(); ++index) {
        scaled /= 1000.0;
        const Unit& unit = units[index];
        const double factor = std::pow(10.0, unit.decimals);
        const double rounded = std::round(scaled * factor) / factor;
        // 999,999 bytes would round to "1000 kB"; that is "1.0 MB".
        if (std::abs(rounded) < 1000.0 || index + 1 == units.size()) {
            return locale.toString(rounded, 'f', unit.decimals) + QLatin1Char(' ') +
                   QLatin1String(unit.name);
        }
    }
    return {};
}

} // namespace dravelin

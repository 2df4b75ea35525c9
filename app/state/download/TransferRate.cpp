#include "state/download/TransferRate.h"

#include "state/download/ByteCountText.h"

#include <cmath>

namespace dravelin {

namespace {
// Long enough to smooth the bursts of a network, short enough to follow a
// change of speed within seconds.
constexpr qint64 windowMilliseconds = 10'000;
constexpr qint64 shortestSpanMilliseconds = 2'000;
} // namespace

void TransferRate::add(qint64 milliseconds, qint64 bytes) {
    samples_.emplace_back(milliseconds, bytes);
    // Keeps one sample at or before the window's start, so the span is whole.
    while (samples_.size() > 2 && samples_[1].first <= milliseconds - windowMilliseconds) {
        samples_.pop_front();
    }
}

std::optional<double> TransferRate::bytesPerSecond() const {
    if (samples_.size() < 2) {
        return std::nullopt;
    }
    const auto& [firstTime, firstBytes] = samples_.front();
    const auto& [lastTime, lastBytes] = samples_.back();
    if (lastTime - firstTime < shortestSpanMilliseconds) {
        return std::nullopt;
    }
    return static_cast<double>(lastBytes - firstBytes) * 1000.0 /
           static_cast<double>(lastTime - firstTime);
}

QString speedText(double bytesPerSecond) {
    return byteCountText(static_cast<qint64>(std::llround(std::max(bytesPerSecond, 0.0)))) +
           QStringLiteral("/s");
}

QString timeLeftText(double seconds) {
    const auto whole = static_cast<qint64>(std::ceil(std::max(seconds, 1.0)));
    if (whole < 60) {
        return QStringLiteral("%1 s left").arg(whole);
    }
    const qint64 minutes = (whole + 59) / 60;
    if (minutes < 60) {
        return QStringLiteral("%1 min left").arg(minutes);
    }
    return QStringLiteral("%1 h %2 min left")
        .arg(minutes / 60)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

} // namespace dravelin

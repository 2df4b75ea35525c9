#pragma once

#include <QString>

#include <deque>
#include <optional>
#include <utility>

namespace dravelin {

// The recent speed of a download, from the running count of bytes received
// sampled over the last few seconds, so a stall or a burst shows soon.
class TransferRate {
public:
    // Forgets earlier samples, as after a pause.
    void restart() { samples_.clear(); }
    // `bytes` received in all by `milliseconds` on a steady clock.
    void add(qint64 milliseconds, qint64 bytes);
    // Bytes per second, once the samples span long enough to mean something.
    std::optional<double> bytesPerSecond() const;

private:
    std::deque<std::pair<qint64, qint64>> samples_;
};

// "8.4 MB/s", decimal units like every byte count shown.
QString speedText(double bytesPerSecond);
// "45 s left", "12 min left", "1 h 05 min left"; rounded up.
QString timeLeftText(double seconds);

} // namespace dravelin

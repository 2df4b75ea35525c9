#pragma once

#include <QString>

namespace dravelin {

// A byte count for people, in decimal units (1 kB = 1000 bytes): "135 bytes",
// "12 kB", "1.7 GB". Numbers follow the default locale.
QString byteCountText(qint64 bytes);

} // namespace dravelin

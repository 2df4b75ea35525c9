#pragma once

#include "core/Image.h"

#include <QImage>

namespace dravelin {

// The engine's 8-bit RGB(A) image as a QImage (a deep copy) and back.
QImage toQImage(const Image& image);
Image fromQImage(const QImage& image);

} // namespace dravelin

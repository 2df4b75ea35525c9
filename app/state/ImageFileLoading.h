#pragma once

#include "core/Image.h"

#include <QString>

namespace dravelin {

// Reads an image file the window accepts: PNG through the engine's reader,
// JPEG, WebP and the other formats Qt's plugins read through QImageReader,
// each bounded alike. The size in the file's header is checked against
// maximumImagePixels before anything is decoded, Qt's allocation limit is set
// to the same size, and a photo is turned upright as its EXIF orientation
// says. Throws ImageFileError with a sentence naming the file and the reason
// (Qt's, when its reader fails).
Image loadImageFile(const QString& path);

} // namespace dravelin

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace dravelin {

// The first text chunk (tEXt, zTXt or iTXt) called `keyword` in a PNG,
// exactly as written: Qt's own reader folds line breaks and runs of spaces,
// which the parameters text needs. Read by the engine's bounded PNG reader.
// Absent when the file has none, is not a PNG or cannot be read.
std::optional<QString> readPngText(const QString& path, const char* keyword);

// The PNG file `png` with a text chunk `keyword` holding `text` exactly
// (tEXt for plain ASCII, else uncompressed UTF-8 iTXt) right after its
// header chunk; Qt's writer would fold its line breaks. `png` unchanged when
// it does not start with a PNG signature and header chunk.
QByteArray withPngText(const QByteArray& png, const char* keyword, const QString& text);

} // namespace dravelin

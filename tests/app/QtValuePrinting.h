#pragma once

#include <QByteArray>
#include <QString>

#include <ostream>

// Qt texts in test failure messages as text rather than as raw bytes.
inline void PrintTo(const QString& text, std::ostream* stream) {
    *stream << text.toStdString();
}
inline void PrintTo(const QByteArray& bytes, std::ostream* stream) {
    *stream << bytes.toStdString();
}

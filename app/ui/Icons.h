#pragma once

#include <QIcon>
#include <QString>

namespace dravelin {

// A themed icon, or a simple drawn stand-in when the theme has none, so an
// icon always shows.
QIcon themedIcon(const QString& name);

} // namespace dravelin

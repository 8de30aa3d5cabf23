#pragma once

#include <QString>

namespace hh {

// The desktop portal on the session bus: one object serves every interface we
// use (the settings, the global shortcuts).
inline const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");

} // namespace hh

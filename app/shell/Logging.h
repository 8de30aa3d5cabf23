#pragma once

#include <QLoggingCategory>

namespace hh {

// The tray program's log categories ("hollerhopper.*"). The program installs
// a filter that enables them by the core's HH_LOG level (installQtLogBridge);
// without it Qt's defaults apply.
Q_DECLARE_LOGGING_CATEGORY(logShell)

} // namespace hh

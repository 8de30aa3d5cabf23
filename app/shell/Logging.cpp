#include "app/shell/Logging.h"

namespace hh {

Q_LOGGING_CATEGORY(logShell, "hollerhopper.shell", QtInfoMsg)

} // namespace hh

#pragma once

#include <QString>

namespace hh {

// The computer's name as people know it: the pretty host name from
// systemd-hostnamed or /etc/machine-info, else the host name, else "Mac".
QString computerName();

// PRETTY_HOSTNAME from the text of a machine-info file (shell-style
// assignments, values optionally quoted); empty when absent.
QString prettyHostNameFromMachineInfo(const QString& text);

} // namespace hh

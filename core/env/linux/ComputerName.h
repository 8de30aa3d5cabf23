#pragma once

#include <string>
#include <string_view>

namespace hh {

// This computer's name for others to see, the one source of it for the tray
// program, the controller and the CLI: PRETTY_HOSTNAME from the machine-info
// file (which the host-name service keeps), else the host name, else "Mac".
std::string computerDisplayName(const char* machineInfoPath = "/etc/machine-info");

// PRETTY_HOSTNAME from the text of a machine-info file: shell-style
// assignments, the value unquoted, in single quotes, or in double quotes with
// backslash escapes; the last assignment wins. Empty when absent.
std::string prettyHostNameFromMachineInfo(std::string_view text);

} // namespace hh

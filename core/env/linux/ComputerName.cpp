#include "core/env/linux/ComputerName.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace hh {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

// One shell word: quotes removed, escapes resolved.
std::string unquote(std::string_view value) {
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quote == '\'') {
            if (c == '\'') quote = 0;
            else out += c;
        } else if (c == '\\' && i + 1 < value.size() &&
                   (quote == 0 || std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos)) {
            out += value[++i];
        } else if (c == '"' && quote == '"') {
            quote = 0;
        } else if ((c == '"' || c == '\'') && quote == 0) {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string prettyHostNameFromMachineInfo(std::string_view text) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::string found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.substr(0, key.size()) == key)
            found = std::string(trimmed(unquote(line.substr(key.size()))));  // the last one wins, as in the shell
    }
    return found;
}

std::string computerDisplayName(const char* machineInfoPath) {
    std::ifstream file(machineInfoPath);
    std::ostringstream text;
    text << file.rdbuf();
    if (std::string pretty = prettyHostNameFromMachineInfo(text.str()); !pretty.empty()) return pretty;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    return "Mac";
}

} // namespace hh

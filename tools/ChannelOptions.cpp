#include "tools/ChannelOptions.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace hh::cli {

void addChannelOptions(CLI::App* cmd, ChannelOptions& options) {
    cmd->add_option("--channel", options.name,
                    "Channel to be on (default: the open channel, " + Channel::openName + ")");
    cmd->add_option("--passphrase-file", options.passphraseFile,
                    "The private channel's passphrase: the file's first line, or standard input for -");
}

void checkChannelOptions(const ChannelOptions& options) {
    const bool isOpen = !options.name || *options.name == Channel::openName;
    if (isOpen && options.passphraseFile)
        throw CLI::ValidationError("--passphrase-file", "needs --channel with a private channel's name");
    if (!isOpen && !options.passphraseFile)
        throw CLI::ValidationError("--channel", "a private channel needs --passphrase-file (- reads standard input)");
}

namespace {
// The first line, without its line end.
std::optional<std::string> readPassphrase(const std::string& file) {
    std::string text;
    if (file == "-") {
        std::getline(std::cin, text);
    } else {
        std::ifstream in(file);
        if (!in) return std::nullopt;
        std::getline(in, text);
    }
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}
} // namespace

std::optional<Channel> resolveChannel(const ChannelOptions& options) {
    if (!options.name || *options.name == Channel::openName) return Channel();
    auto passphrase = readPassphrase(*options.passphraseFile);
    if (!passphrase) {
        std::cerr << "hollerhopper-cli: cannot read the passphrase file " << *options.passphraseFile << '\n';
        return std::nullopt;
    }
    std::optional<Channel> channel;
    try {
        channel = Channel::makePrivate(*options.name, *passphrase);
    } catch (const std::exception& e) {
        std::cerr << "hollerhopper-cli: " << e.what() << '\n';
    }
    std::fill(passphrase->begin(), passphrase->end(), '\0');
    return channel;
}

Json wrongPassphraseEvent(bool isActive) { return {{"event", "wrongPassphrase"}, {"active", isActive}}; }

} // namespace hh::cli

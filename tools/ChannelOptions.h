#pragma once

// --channel and --passphrase-file, the same for every subcommand that joins
// the group. The passphrase itself never goes on the command line, where any
// user's `ps` shows it.
#include "core/channel/Channel.h"
#include "tools/Cli.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

namespace hh::cli {

struct ChannelOptions {
    std::optional<std::string> name;
    std::optional<std::string> passphraseFile;  // "-": standard input
};

void addChannelOptions(CLI::App* cmd, ChannelOptions& options);
// For the subcommand's callback: throws CLI11's usage error for a private
// channel without a passphrase file, or a file without a channel.
void checkChannelOptions(const ChannelOptions& options);
// Reads the passphrase and derives the key: the channel, or nothing after
// saying why on stderr.
std::optional<Channel> resolveChannel(const ChannelOptions& options);

// {"event":"wrongPassphrase","active":...}: once when it begins, once when it ends.
Json wrongPassphraseEvent(bool isActive);

} // namespace hh::cli

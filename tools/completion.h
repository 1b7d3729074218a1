// Bash completion for the tool, generated from its own command line (`tarvik
// --bash-completion`), so that it always knows every command and option there is.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tarvik::tool {

// Values an option takes from a list: those of its IsMember check are found by themselves;
// `commaLists` adds options whose value is a comma-separated list of names (--words).
using CommaLists = std::map<std::string, std::vector<std::string>>;

// A bash script defining the completion of `tarvik`: subcommands and long options for the
// command being typed (a subcommand also takes the options of the commands above it, as the
// tool accepts them there); after an option that takes one of a list of values, those values;
// after any other option that takes a value, the shell's own completion (file names).
std::string BashCompletionScript(const CLI::App& app, const CommaLists& commaLists = {});

}  // namespace tarvik::tool

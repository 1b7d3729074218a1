// Bash completion for the tool, generated from its own command line (`tarvik
// --bash-completion`), so that it always knows every command and option there is.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace tarvik::tool {

// A bash script defining the completion of `tarvik`: subcommands and long options for the
// command being typed (a subcommand also takes the options of the commands above it, as the
// tool accepts them there); after an option that takes a value, the shell's own completion
// (file names).
std::string BashCompletionScript(const CLI::App& app);

}  // namespace tarvik::tool

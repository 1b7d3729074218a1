#include "completion.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <vector>

namespace tarvik::tool {
namespace {

struct Command {
  std::string path;  // " eeprom dump": the words after the tool's name, each after a space
  std::vector<std::string> subcommands;
  std::vector<std::string> options;
};

bool IsOptionGroup(const CLI::App* sub) { return sub->get_name().empty(); }

// Long options of `app` and of its option groups (nameless subcommands).
void CollectOptions(const CLI::App& app, std::vector<std::string>& words,
                    std::set<std::string>& takingValues) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty()) continue;  // hidden
    for (const std::string& name : option->get_lnames()) {
      words.push_back("--" + name);
      if (option->get_items_expected_max() != 0) takingValues.insert("--" + name);
    }
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (IsOptionGroup(sub)) CollectOptions(*sub, words, takingValues);
  }
}

void CollectCommands(const CLI::App& app, const std::string& path,
                     std::vector<std::string> inherited, std::vector<Command>& commands,
                     std::set<std::string>& takingValues) {
  std::vector<std::string> options;
  CollectOptions(app, options, takingValues);
  for (const auto& option : options) {
    if (std::find(inherited.begin(), inherited.end(), option) == inherited.end()) {
      inherited.push_back(option);
    }
  }
  Command command{path, {}, inherited};
  std::vector<const CLI::App*> named;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (IsOptionGroup(sub)) continue;
    named.push_back(sub);
    command.subcommands.push_back(sub->get_name());
  }
  commands.push_back(command);
  for (const CLI::App* sub : named) {
    CollectCommands(*sub, path + " " + sub->get_name(), inherited, commands, takingValues);
  }
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
  std::string joined;
  for (const auto& word : words) joined += (joined.empty() ? "" : separator) + word;
  return joined;
}

}  // namespace

std::string BashCompletionScript(const CLI::App& app) {
  std::vector<Command> commands;
  std::set<std::string> takingValues;
  CollectCommands(app, "", {}, commands, takingValues);
  std::vector<std::string> paths;
  for (const auto& command : commands) {
    if (!command.path.empty()) paths.push_back(fmt::format("\"{}\"", command.path));
  }
  std::string name = app.get_name();
  std::string script = fmt::format(
      "# bash completion for {0}: its commands and options (written by `{0} --bash-completion`)\n"
      "_{0}() {{\n"
      "  local cur=\"${{COMP_WORDS[COMP_CWORD]}}\" prev=\"\" path=\"\" word i words\n"
      "  local commands=\"\" options=\"\"\n"
      "  ((COMP_CWORD > 1)) && prev=\"${{COMP_WORDS[COMP_CWORD - 1]}}\"\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    word=\"${{COMP_WORDS[i]}}\"\n"
      "    case \"$path $word\" in\n"
      "      {1}) path=\"$path $word\" ;;\n"
      "    esac\n"
      "  done\n"
      "  case \"$prev\" in\n"
      "    {2}) return 0 ;;  # a value: the shell's own completion\n"
      "  esac\n"
      "  case \"$path\" in\n",
      name, paths.empty() ? "\"\"" : Join(paths, " | "),
      takingValues.empty()
          ? "\"\""
          : Join(std::vector<std::string>(takingValues.begin(), takingValues.end()), " | "));
  for (const auto& command : commands) {
    script += fmt::format("    \"{}\") commands=\"{}\" options=\"{}\" ;;\n", command.path,
                          Join(command.subcommands, " "), Join(command.options, " "));
  }
  script += fmt::format(
      "  esac\n"
      "  # Options once a dash is typed, else the commands (or the options where there are none).\n"
      "  if [[ \"$cur\" == -* || -z \"$commands\" ]]; then words=\"$options\"; else words=\"$commands\"; fi\n"
      "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "}}\n"
      "complete -o default -F _{0} {0}\n",
      name);
  return script;
}

}  // namespace tarvik::tool

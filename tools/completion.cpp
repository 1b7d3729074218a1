#include "completion.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <vector>

namespace tarvik::tool {
namespace {

struct Command {
  std::string path;  // " eeprom dump": the words after the tool's name, each after a space
  std::vector<std::string> subcommands;
  std::vector<std::string> options;
};

bool IsOptionGroup(const CLI::App* sub) { return sub->get_name().empty(); }

// The values of an IsMember check, which CLI11 shows in the type as "TEXT:{a,b,c}".
std::string MemberValues(const CLI::Option& option) {
  std::string type = option.get_type_name();
  size_t open = type.find(":{");
  size_t close = type.find('}', open);
  if (open == std::string::npos || close == std::string::npos) return {};
  std::string values = type.substr(open + 2, close - open - 2);
  std::replace(values.begin(), values.end(), ',', ' ');
  return values;
}

// Long options of `app` and of its option groups (nameless subcommands); those that take a
// value, with the values they take where there is a list of them.
void CollectOptions(const CLI::App& app, std::vector<std::string>& words,
                    std::map<std::string, std::string>& takingValues) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty()) continue;  // hidden
    for (const std::string& name : option->get_lnames()) {
      words.push_back("--" + name);
      if (option->get_items_expected_max() != 0) takingValues["--" + name] = MemberValues(*option);
    }
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (IsOptionGroup(sub)) CollectOptions(*sub, words, takingValues);
  }
}

void CollectCommands(const CLI::App& app, const std::string& path,
                     std::vector<std::string> inherited, std::vector<Command>& commands,
                     std::map<std::string, std::string>& takingValues) {
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

// The case arms after an option that takes a value: its values, a list's names after the
// last comma, or else nothing of the script's own.
std::string ValueArms(const std::map<std::string, std::string>& takingValues,
                      const CommaLists& commaLists) {
  std::string arms;
  std::vector<std::string> free;
  for (const auto& [option, values] : takingValues) {
    if (auto list = commaLists.find(option); list != commaLists.end()) {
      arms += fmt::format(
          "    {}) [[ \"$cur\" == *,* ]] && head=\"${{cur%,*}},\"\n"
          "      compopt -o nospace 2>/dev/null\n"
          "      COMPREPLY=($(compgen -P \"$head\" -W \"{}\" -- \"${{cur##*,}}\")); return 0 ;;\n",
          option, Join(list->second, " "));
    } else if (!values.empty()) {
      arms += fmt::format("    {}) COMPREPLY=($(compgen -W \"{}\" -- \"$cur\")); return 0 ;;\n",
                          option, values);
    } else {
      free.push_back(option);
    }
  }
  if (!free.empty()) {
    arms += fmt::format("    {}) return 0 ;;  # a value: the shell's own completion\n",
                        Join(free, " | "));
  }
  return arms;
}

}  // namespace

std::string BashCompletionScript(const CLI::App& app, const CommaLists& commaLists) {
  std::vector<Command> commands;
  std::map<std::string, std::string> takingValues;
  CollectCommands(app, "", {}, commands, takingValues);
  std::vector<std::string> paths;
  for (const auto& command : commands) {
    if (!command.path.empty()) paths.push_back(fmt::format("\"{}\"", command.path));
  }
  std::string name = app.get_name();
  std::string script = fmt::format(
      "# bash completion for {0}: its commands and options (written by `{0} --bash-completion`)\n"
      "_{0}() {{\n"
      "  local cur=\"${{COMP_WORDS[COMP_CWORD]}}\" prev=\"\" path=\"\" head=\"\" word i words\n"
      "  local commands=\"\" options=\"\"\n"
      "  ((COMP_CWORD > 1)) && prev=\"${{COMP_WORDS[COMP_CWORD - 1]}}\"\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    word=\"${{COMP_WORDS[i]}}\"\n"
      "    case \"$path $word\" in\n"
      "      {1}) path=\"$path $word\" ;;\n"
      "    esac\n"
      "  done\n"
      "  case \"$prev\" in\n"
      "{2}"
      "  esac\n"
      "  case \"$path\" in\n",
      name, paths.empty() ? "\"\"" : Join(paths, " | "), ValueArms(takingValues, commaLists));
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

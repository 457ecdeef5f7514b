// completion.cc -- "qzfax completion bash": a bash completion script made
// from the command tree itself, so that it always knows every subcommand,
// alias and option of this build. Hidden from the help; the build writes
// its output to share/bash-completion/completions/qzfax.
//
// Thread-safety: single-threaded, as the command line is.
#include <iostream>
#include <sstream>

#include "commands.h"
#include "frame.h"

namespace qzfax {
namespace {

struct Level {
  std::string path;   // "queue list"
  std::string subs;   // names and aliases of the subcommands
  std::string opts;   // --long and -s options
};

void Walk(CLI::App* app, const std::string& path, std::vector<Level>& levels) {
  Level level{path, "", ""};
  for (const CLI::Option* opt : app->get_options()) {
    for (const std::string& l : opt->get_lnames()) level.opts += " --" + l;
    for (const std::string& s : opt->get_snames()) level.opts += " -" + s;
  }
  std::vector<std::pair<std::string, CLI::App*>> children;
  for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
    if (sub->get_group().empty()) continue;  // hidden
    std::vector<std::string> names = {sub->get_name()};
    for (const std::string& a : sub->get_aliases()) names.push_back(a);
    for (const std::string& n : names) {
      level.subs += " " + n;
      children.emplace_back(path.empty() ? n : path + " " + n, sub);
    }
  }
  levels.push_back(level);
  for (const auto& [child_path, sub] : children) Walk(sub, child_path, levels);
}

}  // namespace

void AddCompletionCommand(CLI::App& root) {
  static std::string shell;
  CLI::App* completion = Command(root, "completion", "Print a shell completion script", [&root] {
    std::vector<Level> levels;
    Walk(&root, "", levels);
    std::ostringstream paths, words;
    for (const Level& l : levels) {
      if (!l.path.empty()) paths << (paths.tellp() > 0 ? "|" : "") << "\"" << l.path << "\"";
      words << "    \"" << l.path << "\") subs=\"" << l.subs << "\"; opts=\"" << l.opts
            << "\" ;;\n";
    }
    std::cout << "# bash completion for qzfax (written by \"qzfax completion bash\")\n"
                 "_qzfax() {\n"
                 "  local cur=${COMP_WORDS[COMP_CWORD]} path=\"\" w i subs opts\n"
                 "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                 "    w=${COMP_WORDS[i]}\n"
                 "    case \"${path:+$path }$w\" in\n"
                 "      " << paths.str() << ") path=\"${path:+$path }$w\" ;;\n"
                 "    esac\n"
                 "  done\n"
                 "  case \"$path\" in\n"
              << words.str()
              << "    *) subs=\"\"; opts=\"\" ;;\n"
                 "  esac\n"
                 "  if [[ $cur == -* ]]; then\n"
                 "    mapfile -t COMPREPLY < <(compgen -W \"$opts\" -- \"$cur\")\n"
                 "  elif [[ -n $subs ]]; then\n"
                 "    mapfile -t COMPREPLY < <(compgen -W \"$subs\" -- \"$cur\")\n"
                 "  else\n"
                 "    COMPREPLY=()\n"
                 "  fi\n"
                 "}\n"
                 "complete -o default -F _qzfax qzfax\n";
  });
  completion->group("");
  completion->add_option("shell", shell, "The shell (bash)")->required()->check(CLI::IsMember({"bash"}));
}

}  // namespace qzfax

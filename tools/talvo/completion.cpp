// `talvo completion`: what the build needs to document the tool, written from the command tree
// itself so that the bash completion and the manual page cannot fall behind the commands. Hidden
// from --help, since people get its output installed rather than run it.

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "cli.hpp"

namespace talvo_cli {

namespace {

// A command of the tree: its words after "talvo" ("flag add"), and what may follow it.
struct Command {
    std::string path;
    std::vector<std::string> subcommands;
    std::vector<std::string> options;
};

// Visible subcommands only: an empty group is how a subcommand is hidden.
std::vector<const CLI::App*> visible(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

void addOptions(const CLI::App& app, std::vector<std::string>& names) {
    for (const CLI::Option* option : app.get_options()) {
        std::vector<std::string> spelled;
        for (const std::string& name : option->get_snames()) spelled.push_back("-" + name);
        for (const std::string& name : option->get_lnames()) spelled.push_back("--" + name);
        for (const std::string& name : spelled)
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    // A subcommand that falls through also takes its parents' options (--json after the command).
    if (app.get_fallthrough() && app.get_parent()) addOptions(*app.get_parent(), names);
}

void collect(const CLI::App& app, const std::string& path, std::vector<Command>& commands) {
    Command command{path, {}, {}};
    addOptions(app, command.options);
    for (const CLI::App* sub : visible(app)) command.subcommands.push_back(sub->get_name());
    commands.push_back(command);
    for (const CLI::App* sub : visible(app))
        collect(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), commands);
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
    return out;
}

// Self-contained (no bash-completion helpers needed): it reads COMP_WORDS, finds the command the
// words so far name, and offers that command's subcommands or options. An empty answer leaves
// the word to bash's own file completion, which is what the positional arguments (paths) want.
void printBash(const std::vector<Command>& commands) {
    std::cout << "# bash completion for talvo, written by `talvo completion bash`.\n\n"
                 "# Sets `subcommands` and `options` for the command named by $1 (\"flag add\").\n"
                 "_talvo_command() {\n"
                 "    case $1 in\n";
    for (const Command& command : commands)
        std::cout << "    " << quoted(command.path)
                  << ")\n        subcommands=" << quoted(joined(command.subcommands))
                  << "\n        options=" << quoted(joined(command.options)) << " ;;\n";
    std::cout << "    *) subcommands='' options='' ;;\n"
                 "    esac\n"
                 "}\n\n"
                 "_talvo() {\n"
                 "    local cur=${COMP_WORDS[COMP_CWORD]} command='' subcommands options i\n"
                 "    COMPREPLY=()\n"
                 "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
                 "        # What follows -- is a command line of its own (flag add ... -- "
                 "COMMAND).\n"
                 "        if [[ ${COMP_WORDS[i]} == -- ]]; then\n"
                 "            # Builtins and commands in several PATH folders come once each.\n"
                 "            ((i + 1 == COMP_CWORD)) &&\n"
                 "                mapfile -t COMPREPLY < <(compgen -c -- \"$cur\" | sort -u)\n"
                 "            return 0\n"
                 "        fi\n"
                 "        _talvo_command \"$command\"\n"
                 "        [[ \" $subcommands \" == *\" ${COMP_WORDS[i]} \"* ]] &&\n"
                 "            command=${command:+$command }${COMP_WORDS[i]}\n"
                 "    done\n"
                 "    _talvo_command \"$command\"\n"
                 "    if [[ $cur == -* ]]; then\n"
                 "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
                 "    elif [[ -n $subcommands ]]; then\n"
                 "        mapfile -t COMPREPLY < <(compgen -W \"$subcommands\" -- \"$cur\")\n"
                 "    fi\n"
                 "    return 0\n"
                 "}\n\n"
                 "complete -o bashdefault -o default -F _talvo talvo\n";
}

}  // namespace

void addCompletionCommand(CLI::App& app) {
    CLI::App* completion = app.add_subcommand("completion", "Write what the install documents");
    completion->group("");
    completion->require_subcommand(1);
    // The tree is read when the command runs, so every command registered before or after is in.
    const auto commands = [&app] {
        std::vector<Command> all;
        collect(app, "", all);
        return all;
    };
    completion->add_subcommand("bash", "Print the bash completion script for talvo")
        ->callback([commands] { printBash(commands()); });
    completion
        ->add_subcommand("commands",
                         "List every command, one a line (\"flag add\"), for the "
                         "manual page")
        ->callback([commands] {
            for (const Command& command : commands())
                if (!command.path.empty()) std::cout << command.path << '\n';
        });
}

}  // namespace talvo_cli

// Flags held between processes: add (and hold), own, clear, who.

#include <signal.h>

#include <iostream>
#include <memory>
#include <vector>

#include "cli.hpp"
#include "held_command.hpp"
#include "node_access.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;
using nlohmann::json;

struct FlagArgs {
    std::string path;
    std::string name;
    bool force = false;
    bool takeOver = false;
    std::vector<std::string> command;
};

json holderOf(const sptr_t<talvo2::IFlagData>& data) {
    if (!data) return nullptr;
    return {{"user", utf8(data->getUser())},
            {"host", utf8(data->getHost())},
            {"since", formatTime(static_cast<long long>(data->getTimestamp()))}};
}

// Waits for SIGINT or SIGTERM, so the flag is held until then.
void holdUntilSignaled() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    int received = 0;
    ::sigwait(&signals, &received);
}

// Takes the flag on the node at args.path and reports it; throws the failure otherwise.
void takeAndReport(const FlagArgs& args, const Options& options, sptr_t<talvo2::INode>& node) {
    node = openAnyNode(args.path);
    const std::wstring name = wide(args.name);
    sptr_t<talvo2::IFlagData> data;
    talvo2::error_t added = node->addFlag(name.c_str(), data, args.force, args.takeOver);
    if (added == talvo2::AlreadyExists) {
        // The flag's files are there: either a live holder has it, or a holder that ended left
        // them, which asking clears so that the flag can be taken after all.
        const talvo2::error_t owned = node->ownFlag(name.c_str());
        if (owned == talvo2::FlagOwnedElsewhere) added = owned;
        if (owned == talvo2::NotFound)
            added = node->addFlag(name.c_str(), data, args.force, args.takeOver);
    }
    if (added != talvo2::OK) {
        if (options.json) printJson({{"held", false}, {"holder", holderOf(data)}});
        fail("flag add " + args.name, added);
    }
    if (options.json) {
        printJson({{"held", true}, {"holder", holderOf(data)}});
    } else {
        std::cout << "holding " << args.name << " on " << utf8(node->getPath()) << '\n';
    }
    std::cout.flush();
}

int runAdd(const FlagArgs& args, const Options& options) {
    if (!args.command.empty()) {
        // The command holds the flag itself, so it stays held however this process ends.
        const auto take = [&args, &options] {
            sptr_t<talvo2::INode> node;
            takeAndReport(args, options, node);
            node.detach();  // exec ends this image; nothing here may release the flag first
        };
        const auto release = [&args] {
            // Clears the command's leftover; a holder that came in since is left alone.
            sptr_t<talvo2::INode> node = openAnyNode(args.path);
            node->ownFlag(wide(args.name).c_str());
        };
        return runHoldingFlag(args.name, args.command, take, release);
    }
    sptr_t<talvo2::INode> node;
    takeAndReport(args, options, node);
    holdUntilSignaled();
    return kExitOk;  // the node's destruction releases the flag
}

void runWho(const FlagArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path);
    const std::wstring name = wide(args.name);
    const talvo2::error_t owned = node->ownFlag(name.c_str());
    json holder = nullptr;
    if (owned == talvo2::FlagOwnedElsewhere) {
        // Asking for the flag without replacing or taking over fails and names the holder.
        sptr_t<talvo2::IFlagData> data;
        if (node->addFlag(name.c_str(), data, false, false) == talvo2::OK) {
            node->removeFlag(name.c_str(), false);  // freed in between: give it back
        } else {
            holder = holderOf(data);
        }
    } else if (owned != talvo2::NotFound && owned != talvo2::OK) {
        fail("flag who " + args.name, owned);
    }
    if (options.json) {
        printJson({{"flag", args.name}, {"held", !holder.is_null()}, {"holder", holder}});
    } else if (holder.is_null()) {
        std::cout << args.name << ": not held\n";
    } else {
        std::cout << args.name << ": held by " << holder["user"].get<std::string>() << "@"
                  << holder["host"].get<std::string>() << " since "
                  << holder["since"].get<std::string>() << '\n';
    }
}

void runOwn(const FlagArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path);
    const talvo2::error_t owned = node->ownFlag(wide(args.name).c_str());
    const char* state = owned == talvo2::FlagOwnedElsewhere ? "held elsewhere"
                        : owned == talvo2::NotFound         ? "not held"
                        : owned == talvo2::OK               ? "held by this process"
                                                            : nullptr;
    if (!state) fail("flag own " + args.name, owned);
    if (options.json) {
        printJson({{"flag", args.name}, {"state", state}});
    } else {
        std::cout << args.name << ": " << state << '\n';
    }
    // Held by someone else: the answer a script branches on, as flock -n's.
    if (owned == talvo2::FlagOwnedElsewhere) throw CommandFailure(kExitBusy, "");
}

void runClear(const FlagArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path);
    const talvo2::error_t removed = node->removeFlag(wide(args.name).c_str(), args.force);
    if (removed != talvo2::OK) fail("flag clear " + args.name, removed);
    if (options.json) printJson({{"flag", args.name}, {"cleared", true}});
}

}  // namespace

void addFlagCommands(CLI::App& app, const Options& options) {
    CLI::App* flags = app.add_subcommand("flag", "Flags held between processes");
    flags->require_subcommand(1);
    auto args = std::make_shared<FlagArgs>();
    const auto common = [&args](CLI::App* cmd) {
        cmd->add_option("path", args->path, "The node")->required();
        cmd->add_option("name", args->name, "The flag's name")->required();
    };
    CLI::App* cmd = flags->add_subcommand(
        "add", "Take a flag and hold it while COMMAND runs, or until interrupted");
    common(cmd);
    cmd->add_flag("--force", args->force, "Replace a flag this node holds");
    cmd->add_flag("--take-over", args->takeOver, "Take over a flag whose holder has ended");
    cmd->add_option("command", args->command, "Command to run while holding (after --)");
    cmd->callback([args, &options] {
        const int status = runAdd(*args, options);
        if (status != kExitOk) throw CommandFailure(status, "");
    });

    cmd = flags->add_subcommand("own", "Ask whether the flag is held, clearing a dead holder's");
    common(cmd);
    cmd->callback([args, &options] { runOwn(*args, options); });

    cmd = flags->add_subcommand("clear", "Release and delete a flag");
    common(cmd);
    cmd->add_flag("--force", args->force, "Delete a flag held by someone else");
    cmd->callback([args, &options] { runClear(*args, options); });

    cmd = flags->add_subcommand("who", "Show who holds a flag");
    common(cmd);
    cmd->callback([args, &options] { runWho(*args, options); });
}

}  // namespace talvo_cli

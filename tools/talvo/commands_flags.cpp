// Flags held between processes: add (and hold), own, clear, who.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <iostream>
#include <memory>
#include <vector>

#include "cli.hpp"
#include "flag_holder.hpp"
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
    bool literal = false;
    bool waiting = false;     // --wait given
    double waitSeconds = -1;  // its value; below 0: for as long as it takes
    std::vector<std::string> command;
};

using Holder = std::optional<talvo_front::FlagHolder>;

json holderJson(const Holder& holder) {
    if (!holder) return nullptr;
    return {{"user", holder->user},
            {"host", holder->host},
            {"pid", holder->pid > 0 ? json(holder->pid) : json(nullptr)},
            {"since", timeValue(static_cast<long long>(holder->since))}};
}

// "alice@node17 (pid 4242) since 2026-12-07 10:02:11 UTC"
std::string holderText(const Holder& holder) {
    if (!holder) return "an unknown holder (its owner record is empty or unreadable)";
    return talvo_front::holderName(holder) + " since " +
           timeValue(static_cast<long long>(holder->since))["text"].get<std::string>();
}

// Whether `program` can be run as execvp would find it: a flag must not be taken for a command
// that cannot start.
bool runnable(const std::string& program) {
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
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

// Takes the flag on the node at args.path (waiting with --wait) and reports it; throws the
// failure otherwise, naming the holder.
void takeAndReport(const FlagArgs& args, const Options& options, sptr_t<talvo2::INode>& node) {
    node = openAnyNode(args.path, args.literal);
    sptr_t<talvo2::IFlagData> data;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<long long>(args.waitSeconds * 1000));
    const auto tryTake = [&] {
        return talvo_front::takeFlag(*node, args.name, args.force, args.takeOver, data);
    };
    talvo2::error_t added = tryTake();
    while (args.waiting && talvo_front::heldElsewhere(added) &&
           (args.waitSeconds < 0 || std::chrono::steady_clock::now() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        added = tryTake();
    }
    if (added == talvo2::RecordFormatError)
        fail("flag add " + args.name, added,
             "if its holder is gone, take it with --take-over or clear it with flag clear --force");
    if (added != talvo2::OK) {
        const Holder holder = talvo_front::holderOf(data, *node, args.name);
        if (talvo_front::heldElsewhere(added))
            throw CommandFailure(
                kExitBusy,
                "flag add " + args.name + ": held by " + holderText(holder) +
                    (args.waiting ? "; gave up waiting" : "; use --wait or ask them"),
                errorName(added), {{"holder", holderJson(holder)}});
        fail("flag add " + args.name, added);
    }
    if (options.json) {
        printJson({{"flag", args.name},
                   {"held", true},
                   {"holder", holderJson(talvo_front::holderOf(data, *node, args.name))}});
    } else if (!options.quiet) {
        std::cout << "holding " << args.name << " on " << utf8(node->getPath()) << '\n';
    }
    std::cout.flush();
}

int runAdd(const FlagArgs& args, const Options& options) {
    if (!args.command.empty() && !runnable(args.command.front()))
        throw CommandFailure(127, "flag add " + args.name + ": cannot run " + args.command.front() +
                                      ": no such program; the flag was not taken");
    if (!args.command.empty()) {
        // The command holds the flag itself, so it stays held however this process ends.
        const auto take = [&args, &options] {
            sptr_t<talvo2::INode> node;
            takeAndReport(args, options, node);
            node.detach();  // exec ends this image; nothing here may release the flag first
        };
        const auto release = [&args] {
            // Clears the command's leftover; a holder that came in since is left alone.
            sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
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
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    const talvo_front::FlagStatus status = talvo_front::flagStatus(*node, args.name);
    if (status.error != talvo2::OK) fail("flag who " + args.name, status.error);
    const Holder& holder = status.holder;
    std::string state = "not held";
    if (status.state == talvo_front::FlagState::Held) state = "held";
    if (status.state == talvo_front::FlagState::Leftover) state = "leftover";
    if (status.state == talvo_front::FlagState::Unknown) state = "unknown";
    if (options.json) {
        printJson({{"flag", args.name},
                   {"state", state},
                   {"held", state == "held"},
                   {"holder", holderJson(holder)}});
    } else if (state == "held") {
        std::cout << args.name << ": held by " << holderText(holder) << '\n';
    } else if (state == "leftover") {
        std::cout << args.name
                  << ": not held, but a holder that ended left its files; flag add --take-over "
                     "takes it, flag clear --force deletes it\n";
    } else if (state == "unknown") {
        std::cout << args.name
                  << ": a lock file without a readable owner record; if its holder is gone, "
                     "flag add --take-over takes it\n";
    } else {
        std::cout << args.name << ": not held\n";
    }
}

void runOwn(const FlagArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    const talvo2::error_t owned = node->ownFlag(wide(args.name).c_str());
    const char* state = owned == talvo2::FlagOwnedElsewhere ? "held elsewhere"
                        : owned == talvo2::NotFound         ? "not held"
                        : owned == talvo2::OK               ? "held by this process"
                                                            : nullptr;
    if (!state)
        fail("flag own " + args.name, owned,
             owned == talvo2::RecordFormatError ? "flag add --take-over takes a dead holder's flag"
                                                : "");
    if (options.json) {
        printJson({{"flag", args.name}, {"state", state}});
    } else if (!options.quiet) {
        std::cout << args.name << ": " << state << '\n';
    }
    // Held by someone else: the answer a script branches on, as flock -n's.
    if (owned == talvo2::FlagOwnedElsewhere) throw CommandFailure(kExitBusy, "");
}

void runClear(const FlagArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    const std::wstring name = wide(args.name);
    const talvo2::error_t removed = node->removeFlag(name.c_str(), args.force);
    if (removed == talvo2::FlagOwnedElsewhere || removed == talvo2::FileLocked) {
        sptr_t<talvo2::IFlagData> data;
        Holder holder;
        if (node->addFlag(name.c_str(), data, false, false) != talvo2::OK)
            holder = talvo_front::holderOf(data, *node, args.name);
        const std::string hint = removed == talvo2::FileLocked
                                     ? "it is alive; ask them"
                                     : "--force deletes it if its holder is gone";
        const std::string who = !holder ? "a leftover without a readable owner record"
                                        : "held by " + holderText(holder);
        throw CommandFailure(kExitBusy, "flag clear " + args.name + ": " + who + "; " + hint,
                             errorName(removed), {{"holder", holderJson(holder)}});
    }
    if (removed == talvo2::NotFound)
        throw CommandFailure(
            kExitNotFound, "flag clear " + args.name + ": no such flag on " + utf8(node->getPath()),
            "NotFound");
    if (removed != talvo2::OK)
        fail(
            "flag clear " + args.name, removed,
            removed == talvo2::RecordFormatError ? "--force deletes it if its holder is gone" : "");
    if (options.json) printJson({{"flag", args.name}, {"cleared", true}});
}

}  // namespace

void addFlagCommands(CLI::App& app, Options& options) {
    CLI::App* flags = app.add_subcommand("flag", "Flags held between processes");
    flags->require_subcommand(1);
    auto args = std::make_shared<FlagArgs>();
    const auto common = [&args](CLI::App* cmd) {
        cmd->add_option("path", args->path, "The node")->required();
        cmd->add_option("name", args->name, "The flag's name")->required();
        cmd->add_flag("--literal", args->literal, "Take @ in the path as an ordinary character");
    };
    CLI::App* cmd = flags->add_subcommand(
        "add", "Take a flag and hold it while COMMAND runs, or until interrupted");
    common(cmd);
    cmd->add_flag("--force", args->force,
                  "Write this process's owner record afresh over one of this node's, and take "
                  "over a leftover whose holder has ended");
    cmd->add_flag("--take-over", args->takeOver,
                  "Take over a leftover whose holder has ended (also one without a record)");
    cmd->add_option("--wait", args->waitSeconds,
                    "Wait up to SECONDS (no value: as long as it takes) for the holder to let go")
        ->expected(0, 1)
        ->default_str("-1");
    cmd->add_option("command", args->command, "Command to run while holding (after --)");
    cmd->callback([args, cmd, &options] {
        args->waiting = cmd->count("--wait") > 0;
        const int status = runAdd(*args, options);
        if (status != kExitOk) throw CommandFailure(status, "");
    });

    cmd = flags->add_subcommand("own", "Ask whether the flag is held, clearing a dead holder's");
    common(cmd);
    cmd->callback([args, &options] { runOwn(*args, options); });

    cmd = flags->add_subcommand("clear", "Release and delete a flag");
    common(cmd);
    cmd->add_flag("--force", args->force,
                  "Delete a leftover whose holder has ended (a living holder's never)");
    cmd->callback([args, &options] { runClear(*args, options); });

    cmd = flags->add_subcommand("who", "Show who holds a flag: user, host, pid and since when");
    common(cmd);
    cmd->callback([args, &options] { runWho(*args, options); });
}

}  // namespace talvo_cli

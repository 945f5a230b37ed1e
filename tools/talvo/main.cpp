// talvo: a command-line front end over the talvo2 library for scripts and people.

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli.hpp"

namespace {

const char* const kExitStatuses =
    "Exit status: 0 success, 1 failure (diff: the results differ), 2 usage error, 3 not found,\n"
    "4 already exists, 5 held by someone else, 6 permission denied, 7 name or pattern refused,\n"
    "8 damaged or unreadable input (a marker, link file or folder), 127 flag add: the command\n"
    "was not found (the flag was not taken), 130 interrupted. Under --json a failure prints one\n"
    "document {\"error\": {...}} on standard error and nothing on standard output.";

// A full disk or a closed pipe on standard output is a failure of the command, as for any Unix
// tool: a script must not take a truncated answer for the whole one.
int finishOutput(int status) {
    std::cout.flush();
    if (std::cout.good() && std::fflush(stdout) == 0) return status;
    const int error = errno;
    std::cerr << "talvo: cannot write the output: " << std::strerror(error) << '\n';
    return status == talvo_cli::kExitOk ? talvo_cli::kExitFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace talvo_cli;
    Options options;
    CLI::App app("Create, inspect and tidy talvo results, projects and experiments.", "talvo");
    app.footer(kExitStatuses);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("talvo ") + TALVO_VERSION);
    app.add_flag("--json", options.json, "Print one JSON document instead of text");
    app.add_flag("-q,--quiet", options.quiet, "Print nothing on success but what --json asks for");
    bool verbose = false;
    app.add_flag("--verbose", verbose, "Show the library's log messages on standard error");
    addResultCommands(app, options);
    addNodeCommands(app, options);
    addTransferCommands(app, options);
    addFlagCommands(app, options);
    addSystemCommands(app, options);
    addLinkCommands(app, options);
    addCompletionCommand(app);
    // The library logs refusals for hosts that keep a log; here the error message says it all.
    // Parsing runs the command, so the choice is made before: --verbose is looked for by hand.
    for (int i = 1; i < argc; ++i) verbose |= std::string(argv[i]) == "--verbose";
    // An empty argument is a variable that was never set ("$RESULT"): read as a path it would
    // mean "here", and a destructive command would act on some member of the current folder.
    // What follows "--" is the held command's own.
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        if (!*argv[i]) {
            std::cerr << "talvo: argument " << i << " is empty; give a path or a name\n";
            return kExitUsage;
        }
        // Names are kept as UTF-8 on disk: a byte that is not would be read as U+FFFD and the
        // command would act on a name other than the one given.
        if (!validUtf8(argv[i])) {
            std::cerr << "talvo: argument " << i << " is not UTF-8; names are UTF-8 on disk\n";
            return kExitBadName;
        }
    }
    if (!verbose) {
        log4cplus::Logger::getRoot().addAppender(
            log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
    }
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i)
        if (std::string(argv[i]) == "--json") collectWarningsForJson();
    int status = kExitOk;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help and version end here too, with status 0.
        status = app.exit(error) == 0 ? kExitOk : kExitUsage;
    } catch (const CommandFailure& failure) {
        status = failure.status();
        if (options.json && *failure.what() && !jsonPrinted()) {
            printJsonError(failure);
        } else if (*failure.what() && !options.json) {
            std::cerr << "talvo: " << failure.what() << '\n';
        }
    } catch (const std::exception& error) {
        std::cerr << "talvo: " << error.what() << '\n';
        status = kExitFailed;
    }
    return finishOutput(status);
}

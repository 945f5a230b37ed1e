#pragma once

// Running a command that holds a flag in talvo's place.

#include <functional>
#include <string>
#include <vector>

namespace talvo_cli {

// Runs `command` in a child process that first calls `take` (which takes the flag `flagName` and
// reports it, or throws CommandFailure) and then keeps the flag's lock open across exec, so the
// command itself holds the flag: if this process is killed, the flag stays held until the command
// ends. Once the child has ended, `release` runs here to clear what the flag left behind. Returns
// the command's exit status (128 + signal when killed), or the failure status of `take`. Signals
// asking this process to stop are passed on to the command. Not thread-safe: call it from a
// program's only thread, before the library has been used.
int runHoldingFlag(const std::string& flagName, const std::vector<std::string>& command,
                   const std::function<void()>& take, const std::function<void()>& release);

}  // namespace talvo_cli

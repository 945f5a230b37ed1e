// Runs one scenario of fault_scenarios.hpp with the preloaded injector (fault_inject.cpp) armed
// around its operation, for fault_test.cpp:
//   fault_driver SCENARIO DIR K VARIANT   fails the K-th file-system call (0: none) with VARIANT
// Prints "calls=N failed=CALL errno=E error=CODE" and exits 0 when the operation succeeded, 1 when
// it failed and said why, 2 when it failed with OK as its reason, 3 when it could not start.
// Exceptions are deliberately not caught here: one escaping the library must end the process
// abnormally.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "robustness/fault_scenarios.hpp"

int main(int argc, char** argv) {
    using namespace talvo2;
    if (argc != 5) {
        std::fprintf(stderr, "usage: fault_driver SCENARIO DIR K VARIANT\n");
        return 3;
    }
    const auto arm = reinterpret_cast<void (*)(long, int)>(::dlsym(RTLD_DEFAULT, "fault_arm"));
    const auto disarm = reinterpret_cast<long (*)()>(::dlsym(RTLD_DEFAULT, "fault_disarm"));
    const auto failed =
        reinterpret_cast<const char* (*)()>(::dlsym(RTLD_DEFAULT, "fault_failed_call"));
    const auto failedErrno =
        reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "fault_failed_errno"));
    if (!arm || !disarm || !failed || !failedErrno) {
        std::fprintf(stderr, "the fault injector is not preloaded\n");
        return 3;
    }
    faults::Operation operation;
    for (const faults::Scenario& scenario : faults::scenarios())
        if (std::string(argv[1]) == scenario.name)
            operation = scenario.setup(ulib_2_18::from_utf8(argv[2]));
    if (!operation) {
        std::fprintf(stderr, "cannot set up %s in %s\n", argv[1], argv[2]);
        return 3;
    }
    arm(std::atol(argv[3]), std::atoi(argv[4]));
    const faults::Outcome outcome = operation();
    const long calls = disarm();
    std::printf("calls=%ld failed=%s errno=%d error=%u\n", calls, failed(), failedErrno(),
                static_cast<unsigned>(outcome.error));
    return outcome.ok ? 0 : outcome.error != OK ? 1 : 2;
}

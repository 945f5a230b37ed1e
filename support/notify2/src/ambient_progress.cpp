#include "notify2/ambient_progress.hpp"

namespace notify2 {

namespace {

thread_local IProgress* current = nullptr;

}  // namespace

IProgress* ambientProgress() {
    return current;
}

IProgress* setAmbientProgress(IProgress* progress) {
    IProgress* previous = current;
    current = progress;
    return previous;
}

}  // namespace notify2

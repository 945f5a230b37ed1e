#include "node/held_flags.hpp"

#include <atomic>

namespace talvo2 {

namespace {

std::atomic<HeldFlagsMaker>& maker() {
    static std::atomic<HeldFlagsMaker> installed{nullptr};
    return installed;
}

}  // namespace

void setHeldFlagsMaker(HeldFlagsMaker made) {
    maker().store(made);
}

std::unique_ptr<HeldFlags> makeHeldFlags() {
    const HeldFlagsMaker made = maker().load();
    return made ? made() : nullptr;
}

}  // namespace talvo2

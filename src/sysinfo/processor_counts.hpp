#pragma once

// Processor counts and clock from the operating system and the brand text.

#include <cstdint>

#include "platform/processor.hpp"

namespace talvo2 {

// Packages, cores and logical processors of this machine; zeros for what cannot be found.
platform::ProcessorTopology countProcessors();

// The clock named by the last word of a processor brand text, such as "3.40GHz" or "2400MHz",
// in Hz; 0 when the text has no space, the word is not a number followed by "M" or "G" (upper
// case only), or the number is not finite.
int64_t parseBrandFrequency(const char* brand);

// The clock the operating system reports for the processor, in Hz (whole MHz times 1,000,000);
// 0 when it reports none.
int64_t readRegistryFrequency();

}  // namespace talvo2

#pragma once

// What the front ends say about a library error code: its name and a message for people.

#include <string>

#include "talvo2/error.hpp"

namespace talvo_front {

// "NotFound" and the like; "Error<number>" for a value the library does not define.
std::string errorName(talvo2::error_t code);

// What `code` means to someone who did not write the library; never empty.
std::string errorMessage(talvo2::error_t code);

}  // namespace talvo_front

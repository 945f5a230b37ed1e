#pragma once

// The whole public interface of the library.
#include "talvo2/error.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"

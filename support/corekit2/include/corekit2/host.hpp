#pragma once

#include <string>

#include "corekit2/export.hpp"

namespace corekit2 {

// The machine's fully qualified name as the resolver gives it, falling back to the plain host
// name when the resolver knows none. Looked up once per process; thread-safe. Empty only when the
// host name itself cannot be read.
COREKIT2_API std::wstring get_fq_host_name();

// This process's rank in an MPI job, read from the variables that MPI launchers publish
// (Open MPI, MPICH/Hydra and PMIx). Negative outside an MPI job or when the value is not a
// non-negative decimal number. Thread-safe.
COREKIT2_API int detectMPIRank();

}  // namespace corekit2

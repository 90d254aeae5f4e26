// How much more memory this process can take before an allocation fails or
// the system kills it, for work that can tell its size before it starts.
#pragma once

#include <cstdint>

namespace halvex {

// The least of: the memory the system has available (MemAvailable), what the
// address-space and data limits (RLIMIT_AS, RLIMIT_DATA) leave beyond the
// process's current size, and what the memory limits of its cgroup (v2) and
// their ancestors leave. UINT64_MAX when none of them can be read.
std::uint64_t memory_available();

}  // namespace halvex

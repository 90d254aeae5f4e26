// The one place where the cores' errors become Python exceptions.
#pragma once

namespace halvex::py {

// Maps halvex::Error by kind (json.JSONDecodeError, UnicodeDecodeError and OSError with errno
// and file name included); std::bad_alloc is MemoryError and a pending Python error passes
// through, as nanobind does for them. Called once in each module's initialisation.
void register_error_translation();

}  // namespace halvex::py

// The one place where the error kinds of the cores become Python exceptions.
#pragma once

namespace halvex::py {

// Maps halvex::Error kinds (common/errors.h) to Python exceptions; call once
// in NB_MODULE.
void register_error_translation();

}  // namespace halvex::py

// Path texts as the renderer has always printed them: Python's pathlib forms on POSIX, worked
// out here so that the render job needs no host for them.
#pragma once

#include <string>

namespace halvex::pipeline {

// str(PurePosixPath(p)): repeated "/" and "." parts dropped, no trailing "/", "." for nothing;
// a leading "//" (exactly two) is kept.
std::string path_text(const std::string& p);
// str(PurePosixPath(p).parent): the root and "." are their own parents.
std::string path_parent(const std::string& p);
// str(PurePosixPath(a) / b): b replaces a when it is absolute.
std::string path_join(const std::string& a, const std::string& b);
// PurePosixPath(p).name: the last part ("" for a root or ".").
std::string path_name(const std::string& p);

}  // namespace halvex::pipeline

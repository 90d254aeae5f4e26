// Whether an output would replace one of the inputs it is made from (a page written over its
// document, a matrix over its database). Links and other spellings of one file count as that
// file: files are compared by device and inode, paths that do not exist by where they lead.
#pragma once

#include <string>

namespace halvex {

// True when writing `output` would replace the regular file `input` (the same device and inode,
// however either is spelt), or, when one of them does not exist, both lead to the same place.
// A pipe or a device named twice is no file to lose.
bool same_file(const std::string& output, const std::string& input);

// The absolute path that `path` leads to: symbolic links followed (dangling ones too), "." and
// ".." taken out; what does not exist is kept as written. Never throws for a missing path.
std::string resolved_path(const std::string& path);

}  // namespace halvex

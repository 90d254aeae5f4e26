// Writing the page: folders, an atomic replace of the target file, and the size report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/atomic_file.h"

namespace halvex::pipeline {

// The package's one atomic writer (see common/atomic_file.h) writes pages too.
using halvex::AtomicFile;
using halvex::make_dirs;
using halvex::parent_dir;

// Writes the concatenation of `pieces` atomically (see AtomicFile); returns the size.
uint64_t write_file_atomic(const std::string& path, const std::vector<std::string_view>& pieces);

// "2.0 MB" above 1 MiB, else "1.5 KB": one decimal, rounded from the exact value.
std::string size_text(uint64_t size_bytes);

// A limit as Python prints a float: shortest round-trip text, whole numbers with ".0".
std::string limit_text(double limit_mb);

}  // namespace halvex::pipeline

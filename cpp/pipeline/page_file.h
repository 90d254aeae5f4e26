// Writing the page: folders, an atomic replace of the target file, and the size report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::pipeline {

// Creates a folder and its missing parents; an existing folder is fine. Throws OsError.
void make_dirs(const std::string& path);

// Parent folder of a path ("" for a bare file name).
std::string parent_dir(const std::string& path);

// Writes the concatenation of `pieces` to a temporary file beside `path` and renames it over
// `path`, so readers never see a partial page and a failed write leaves an existing page
// untouched. Creates the parent folder first. Returns the size in bytes. Throws OsError.
uint64_t write_file_atomic(const std::string& path, const std::vector<std::string_view>& pieces);

// "2.0 MB" above 1 MiB, else "1.5 KB": one decimal, rounded from the exact value.
std::string size_text(uint64_t size_bytes);

// A limit as Python prints a float: shortest round-trip text, whole numbers with ".0".
std::string limit_text(double limit_mb);

}  // namespace halvex::pipeline

// The rows of the standard page: ordered, catalogued, encoded and cut into chunks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/catalogue.h"
#include "pipeline/page_splice.h"
#include "pipeline/row_encoding.h"
#include "pipeline/row_source.h"

namespace halvex::pipeline {

// The page's rows: each row's text is kept once, and a chunk (the compact JSON array of its
// row arrays, "<" as \u003c) is put together when it is asked for.
class StandardRows : public ChunkTexts {
 public:
  std::vector<uint32_t> order;  // row positions, largest son_risk first
  Catalogue catalogue;          // regions and branches in order of appearance

  size_t size() const override { return n_chunks_; }
  uint64_t total_bytes() const override { return total_bytes_; }
  std::string text(size_t c) const override;
  void write(size_t c, AtomicFile& file) const override;

 private:
  friend void build_standard_rows(RowSource&, const std::vector<uint32_t>&, const RowLayout&,
                                  const ReferenceNames&, int64_t, unsigned, StandardRows&);
  // Appends rows [from, to) of chunk c to out, flushing into `file` when given.
  void assemble(size_t c, std::string& out, AtomicFile* file) const;

  size_t n_rows_ = 0, n_chunks_ = 1, chunk_size_ = 1;
  uint64_t total_bytes_ = 2;
  std::vector<std::string> texts_;  // row texts, in document order, one buffer per reader
  std::vector<uint8_t> owner_;      // the buffer of each row
  std::vector<uint64_t> start_;     // where each row's text starts in its buffer
  std::vector<uint32_t> length_;    // its length
  std::vector<uint32_t> split_;     // where the region and branch positions go in it
  std::vector<uint32_t> pos_;     // page order: positions into the arrays above
  std::vector<int> region_;       // region position of each row, or -1
  std::vector<int> branch_;       // branch position of each row, or -1
};

// Equivalent to ordering `kept` by son_risk, building the catalogue over the ordered rows and
// encoding them in that order, but every row is read once, in document order: the rows of a
// large document are scattered in memory, and reading them in sorted order would wait on
// memory for most of the time. The region and branch positions, which depend on the order,
// are filled in when the chunks are assembled. Up to `threads` threads read and encode; a
// source that only the calling thread may read is read there and encoded on another.
void build_standard_rows(RowSource& rows, const std::vector<uint32_t>& kept, const RowLayout& layout,
                         const ReferenceNames& names, int64_t chunk_size, unsigned threads,
                         StandardRows& out);

}  // namespace halvex::pipeline

// Large pages: the template sees a short marker per data chunk, and the chunk texts are
// written into the page where the markers stand. The chunks then never become Python text
// (which would hold them two more times, at up to two bytes per character).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/page_file.h"

namespace halvex::pipeline {

// The data chunks of a page, whatever holds them.
class ChunkTexts {
 public:
  virtual ~ChunkTexts() = default;
  virtual size_t size() const = 0;
  virtual uint64_t total_bytes() const = 0;
  virtual std::string text(size_t i) const = 0;
  virtual void write(size_t i, AtomicFile& file) const = 0;
};

class StringChunks : public ChunkTexts {
 public:
  explicit StringChunks(const std::vector<std::string>& chunks) : chunks_(chunks) {}
  size_t size() const override { return chunks_.size(); }
  uint64_t total_bytes() const override {
    uint64_t n = 0;
    for (const auto& c : chunks_) n += c.size();
    return n;
  }
  std::string text(size_t i) const override { return chunks_[i]; }
  void write(size_t i, AtomicFile& file) const override { file.write(chunks_[i]); }

 private:
  const std::vector<std::string>& chunks_;
};

// Below this many bytes of chunk text the template gets the texts themselves: making the
// chunks Python text costs a 20,000-row page about a fifth of its render, a tiny one nothing.
inline constexpr uint64_t SPLICE_MIN_BYTES = uint64_t(1) << 20;

class ChunkMarkers {
 public:
  explicit ChunkMarkers(uint64_t nonce);
  // The marker of chunk i: control characters and digits only, so escaping or changing the
  // letter case in a template leaves it alone, while any serialisation (JSON, repr) alters it.
  std::string marker(size_t i) const;

  struct Part {
    size_t chunk;           // SIZE_MAX for page text
    std::string_view text;  // the page text (when chunk == SIZE_MAX)
  };
  // Cuts the rendered page at the markers. Returns false unless every chunk's marker stands
  // intact in the page (at least once): then the page must be rendered with the real texts.
  bool split(std::string_view page, size_t n_chunks, std::vector<Part>& parts) const;

 private:
  std::string prefix_;
};

}  // namespace halvex::pipeline

#include "pipeline/chunks.h"

#include <zlib.h>

#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "common/cancel.h"
#include "common/errors.h"
#include "json/writer.h"
#include "pipeline/row_order.h"

namespace halvex::pipeline {

size_t chunk_count(size_t n_rows, int64_t chunk_size) {
  if (n_rows == 0) return 1;
  if (chunk_size == 0) {
    throw ZeroDivisionError("chunk_size must not be 0 when there are rows (division by zero)");
  }
  if (chunk_size < 0) throw ValueError("chunk_size must be a positive integer");
  auto cs = static_cast<uint64_t>(chunk_size);
  return static_cast<size_t>((n_rows + cs - 1) / cs);
}

namespace {

constexpr size_t kMuta = 0;  // where RowLayout puts "muta" among the fetched values

void write_row(std::string& out, const std::vector<json::Value>& arr, const json::WriteOptions& opts) {
  out.push_back('[');
  for (size_t i = 0; i < arr.size(); ++i) {
    if (i) out.push_back(',');
    json::write(out, arr[i], opts);
  }
  out.push_back(']');
}

}  // namespace

std::string gzip_compress(std::string_view data, int level) {
  // zlib counts input in 32 bits: a larger chunk would be cut short without a word.
  if (data.size() > std::numeric_limits<uInt>::max())
    throw ValueError("a chunk of " + std::to_string(data.size()) + " bytes is too large to compress (at most " +
                     std::to_string(std::numeric_limits<uInt>::max()) + ")");
  z_stream zs{};
  // windowBits 15 + 16: a gzip wrapper (header and CRC-32/length trailer) around DEFLATE.
  if (int rc = deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY); rc != Z_OK) {
    if (rc == Z_MEM_ERROR) throw MemoryError("zlib: no memory to compress a chunk");
    throw RuntimeError("zlib: cannot start compressing a chunk (code " + std::to_string(rc) + ")");
  }
  std::string out;
  out.resize(deflateBound(&zs, static_cast<uLong>(data.size())) + 32);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&zs, Z_FINISH);
  size_t produced = zs.total_out;
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw RuntimeError("zlib: compressing a chunk failed (code " + std::to_string(rc) + ")");
  out.resize(produced);
  return out;
}

std::string base64_encode(std::string_view data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.resize((data.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  size_t i = 0, o = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (i < data.size()) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < data.size()) v |= uint32_t(p[i + 1]) << 8;
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

CompressedChunks encode_compressed_chunks(RowSource& rows, const std::vector<uint32_t>& kept,
                                          const RowLayout& layout, int64_t chunk_size,
                                          unsigned threads) {
  const size_t n = kept.size();
  const size_t n_chunks = chunk_count(n, chunk_size);
  if (threads == 0) threads = 1;

  // Pass 1, document order: each row's JSON text and its sort key.
  rows.prepare(layout.keys);
  std::vector<std::unique_ptr<RowSource>> sources = reader_clones(rows, threads, n);
  const unsigned readers = sources.empty() ? 1 : static_cast<unsigned>(sources.size());
  RiskOrder risk(n);
  std::vector<std::string> texts(readers);
  std::vector<uint32_t> owner(n);
  std::vector<uint64_t> start(n);
  std::vector<uint32_t> length(n);
  run_parallel(readers, [&](unsigned t) {
    RowSource& src = readers == 1 ? rows : *sources[t];
    size_t from = n * t / readers, to = n * (t + 1) / readers;
    std::vector<json::Value> values(layout.keys.size());
    std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
    std::vector<json::Value> arr;
    json::Arena scratch;
    const json::WriteOptions opts;  // plain JSON: this text is compressed, never parsed as HTML
    std::string& text = texts[t];
    text.reserve((to - from) * 96);
    for (size_t r = from; r < to; ++r) {
      if ((r - from) % kRowsPerCancelPoint == 0) cancel_point();
      found[kMuta] = false;
      try {
        src.fetch(kept[r], values.data(), found.get());
        risk.add(r, values[3], found[3], kept[r], found[kMuta] ? &values[kMuta] : nullptr);
        encode_row_compressed(layout, values.data(), found.get(), scratch, arr);
        owner[r] = t;
        start[r] = text.size();
        write_row(text, arr, opts);
      } catch (const Error& e) {
        rethrow_for_row(e, kept[r], found[kMuta] ? &values[kMuta] : nullptr);
      }
      length[r] = static_cast<uint32_t>(text.size() - start[r]);
      scratch.reset();
    }
  });
  rows.verify();
  std::vector<uint32_t> pos = risk.sorted_positions();

  // Pass 2, page order: each chunk's JSON, compressed on its own.
  CompressedChunks result;
  result.base64.resize(n_chunks);
  std::vector<uint64_t> raw_sizes(n_chunks, 0);
  std::atomic<size_t> next{0};
  const size_t cs = n == 0 ? 1 : static_cast<size_t>(chunk_size);
  run_parallel(std::min<unsigned>(threads, static_cast<unsigned>(n_chunks)), [&](unsigned) {
    std::string json_text;
    for (size_t c = next++; c < n_chunks; c = next++) {
      cancel_point();
      size_t from = c * cs, to = std::min(n, from + cs);
      json_text.clear();
      json_text.push_back('[');
      for (size_t k = from; k < to; ++k) {
        uint32_t p = pos[k];
        if (k != from) json_text.push_back(',');
        json_text.append(texts[owner[p]], start[p], length[p]);
      }
      json_text.push_back(']');
      raw_sizes[c] = json_text.size();
      result.base64[c] = base64_encode(gzip_compress(json_text, 6));
    }
  });
  for (size_t c = 0; c < n_chunks; ++c) {
    result.raw_bytes += raw_sizes[c];
    result.b64_chars += result.base64[c].size();
  }
  return result;
}

}  // namespace halvex::pipeline

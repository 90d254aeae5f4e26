#include "pipeline/chunks.h"

#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "common/errors.h"
#include "json/writer.h"

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

void write_row(std::string& out, const std::vector<json::Value>& arr, const json::WriteOptions& opts) {
  out.push_back('[');
  for (size_t i = 0; i < arr.size(); ++i) {
    if (i) out.push_back(',');
    json::write(out, arr[i], opts);
  }
  out.push_back(']');
}

}  // namespace

std::vector<std::string> encode_standard_chunks(RowSource& rows, const std::vector<uint32_t>& order,
                                                const RowLayout& layout, const Catalogue& catalogue,
                                                int64_t chunk_size) {
  const size_t n = order.size();
  const size_t n_chunks = chunk_count(n, chunk_size);
  std::vector<std::string> chunks(n_chunks);
  if (n == 0) {
    chunks[0] = "[]";
    return chunks;
  }
  rows.prepare(layout.keys);
  std::vector<json::Value> values(layout.keys.size());
  std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
  std::vector<json::Value> arr;
  json::Arena scratch;
  json::WriteOptions opts;
  opts.escape_lt = true;
  const auto cs = static_cast<size_t>(chunk_size);
  size_t pos = 0;
  for (size_t c = 0; c < n_chunks; ++c) {
    std::string& out = chunks[c];
    size_t end = std::min(n, pos + cs);
    out.reserve((end - pos) * 96);
    out.push_back('[');
    for (size_t r = pos; r < end; ++r) {
      if (r + 4 < n) rows.prefetch(order[r + 4]);
      rows.fetch(order[r], values.data(), found.get());
      encode_row_standard(layout, values.data(), found.get(), catalogue, scratch, arr);
      if (r != pos) out.push_back(',');
      write_row(out, arr, opts);
      scratch.reset();
    }
    out.push_back(']');
    out.shrink_to_fit();
    pos = end;
  }
  return chunks;
}

std::string gzip_compress(std::string_view data, int level) {
  z_stream zs{};
  // windowBits 15 + 16: a gzip wrapper (header and CRC-32/length trailer) around DEFLATE.
  if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("zlib: deflateInit2 failed");
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
  if (rc != Z_STREAM_END) throw std::runtime_error("zlib: deflate failed");
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

CompressedChunks encode_compressed_chunks(RowSource& rows, const std::vector<uint32_t>& order,
                                          const RowLayout& layout, int64_t chunk_size,
                                          unsigned threads) {
  const size_t n = order.size();
  const size_t n_chunks = chunk_count(n, chunk_size);
  CompressedChunks result;
  result.base64.resize(n_chunks);
  std::vector<uint64_t> raw_sizes(n_chunks, 0);

  // The encoding thread (this one) hands finished JSON texts to compression workers; each
  // chunk is compressed on its own, so the output does not depend on the number of workers.
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::pair<size_t, std::string>> queue;
  bool done = false;
  std::exception_ptr worker_error;
  auto compress_one = [&](size_t c, std::string& json_text) {
    raw_sizes[c] = json_text.size();
    std::string gz = gzip_compress(json_text, 6);
    result.base64[c] = base64_encode(gz);
  };
  auto worker = [&] {
    while (true) {
      std::pair<size_t, std::string> job;
      {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return done || !queue.empty(); });
        if (queue.empty()) return;
        job = std::move(queue.front());
        queue.pop_front();
      }
      cv.notify_all();
      try {
        compress_one(job.first, job.second);
        std::string().swap(job.second);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mu);
        if (!worker_error) worker_error = std::current_exception();
      }
    }
  };
  if (threads == 0) threads = 1;

  // Rows that other threads can read too: every worker encodes and compresses whole chunks.
  rows.prepare(layout.keys);
  if (n > 0 && threads > 1) {
    std::vector<std::unique_ptr<RowSource>> sources;
    for (unsigned t = 0; t < threads; ++t) {
      auto src = rows.clone();
      if (!src) break;
      sources.push_back(std::move(src));
    }
    if (sources.size() == threads) {
      std::atomic<size_t> next{0};
      std::exception_ptr error;
      std::mutex error_mu;
      auto work = [&](RowSource& src) {
        try {
          std::vector<json::Value> values(layout.keys.size());
          std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
          std::vector<json::Value> arr;
          json::Arena scratch;
          const json::WriteOptions opts;
          const auto cs = static_cast<size_t>(chunk_size);
          std::string out;
          for (size_t c = next++; c < n_chunks; c = next++) {
            size_t from = c * cs, to = std::min(n, from + cs);
            out.clear();
            out.push_back('[');
            for (size_t r = from; r < to; ++r) {
              src.fetch(order[r], values.data(), found.get());
              encode_row_compressed(layout, values.data(), found.get(), scratch, arr);
              if (r != from) out.push_back(',');
              write_row(out, arr, opts);
              scratch.reset();
            }
            out.push_back(']');
            compress_one(c, out);
          }
        } catch (...) {
          std::lock_guard<std::mutex> lock(error_mu);
          if (!error) error = std::current_exception();
          next = n_chunks;
        }
      };
      std::vector<std::thread> pool;
      for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, std::ref(*sources[t]));
      work(*sources[0]);
      for (auto& t : pool) t.join();
      if (error) std::rethrow_exception(error);
      for (size_t c = 0; c < n_chunks; ++c) {
        result.raw_bytes += raw_sizes[c];
        result.b64_chars += result.base64[c].size();
      }
      return result;
    }
  }

  const size_t max_queued = 2 * threads + 2;  // bounds the JSON texts held at once
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
  auto finish = [&] {
    {
      std::lock_guard<std::mutex> lock(mu);
      done = true;
    }
    cv.notify_all();
    for (auto& t : pool) t.join();
  };

  try {
    if (n == 0) {
      std::lock_guard<std::mutex> lock(mu);
      queue.emplace_back(0, "[]");
    } else {
      std::vector<json::Value> values(layout.keys.size());
      std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
      std::vector<json::Value> arr;
      json::Arena scratch;
      json::WriteOptions opts;  // plain JSON: this text is compressed, never parsed as HTML
      const auto cs = static_cast<size_t>(chunk_size);
      size_t pos = 0;
      for (size_t c = 0; c < n_chunks; ++c) {
        size_t end = std::min(n, pos + cs);
        std::string out;
        out.reserve((end - pos) * 80);
        out.push_back('[');
        for (size_t r = pos; r < end; ++r) {
          rows.fetch(order[r], values.data(), found.get());
          encode_row_compressed(layout, values.data(), found.get(), scratch, arr);
          if (r != pos) out.push_back(',');
          write_row(out, arr, opts);
          scratch.reset();
        }
        out.push_back(']');
        pos = end;
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return queue.size() < max_queued || worker_error; });
        if (worker_error) break;
        queue.emplace_back(c, std::move(out));
        lock.unlock();
        cv.notify_all();
      }
    }
  } catch (...) {
    finish();
    throw;
  }
  cv.notify_all();
  finish();
  if (worker_error) std::rethrow_exception(worker_error);
  for (size_t c = 0; c < n_chunks; ++c) {
    result.raw_bytes += raw_sizes[c];
    result.b64_chars += result.base64[c].size();
  }
  return result;
}

}  // namespace halvex::pipeline

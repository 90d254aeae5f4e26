#include "pipeline/standard_page.h"

#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <memory>
#include <unordered_map>

#include "common/cancel.h"
#include "common/errors.h"
#include "common/number_text.h"
#include "common/parallel.h"
#include "json/writer.h"
#include "pipeline/chunks.h"
#include "pipeline/row_order.h"
#include "pipeline/text_form.h"

namespace halvex::pipeline {

namespace {

constexpr uint32_t kNone = UINT32_MAX;
constexpr size_t kMuta = 0;  // where RowLayout puts "muta" among the fetched values

// Codes in order of first appearance in the document, each with a small id. Codes equal as
// values may be written differently (1, 1.0, true): each such form is kept too, because the
// catalogue shows the form of the code's first row in page order, not in document order.
struct CodeIds {
  std::unordered_map<CodeKey, uint32_t, CodeKeyHash> ids;
  std::vector<std::vector<json::Value>> forms;  // forms of each code, text in `arena`
  json::Arena arena;

  // The id of v's code; *form is the position of v's form among the code's forms.
  uint32_t id_of(const json::Value& v, uint8_t* form) {
    CodeKey key = make_code_key(v);
    auto [it, inserted] = ids.emplace(std::move(key), static_cast<uint32_t>(forms.size()));
    if (inserted) forms.emplace_back();
    std::vector<json::Value>& known = forms[it->second];
    for (size_t f = 0; f < known.size(); ++f) {
      if (same_form(known[f], v)) {
        *form = static_cast<uint8_t>(f);
        return it->second;
      }
    }
    json::Value kept = v;
    if (v.is_string()) kept = arena.string(v.as_string());
    if (v.kind() == json::Kind::BigInt) kept = json::Value::big_integer(arena.copy_string(v.as_string()));
    *form = static_cast<uint8_t>(known.size());
    known.push_back(kept);
    return it->second;
  }

  // Two values of one code that write the same text. Only numbers of different kinds, and
  // doubles that differ in the sign of zero, can be one code in different forms; a few at most.
  static bool same_form(const json::Value& a, const json::Value& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == json::Kind::Double) return std::signbit(a.as_double()) == std::signbit(b.as_double());
    return true;
  }
};

// Below this many rows a second thread costs more than it saves.
constexpr size_t kMinRowsToPipeline = 4096;

// Reads the rows of a source that only the calling thread may read (the caller's own
// objects) and hands them, a batch at a time, to a second thread that encodes them while the
// next batch is read: reading is most of the work, encoding most of the rest. The values are
// copied out of the source, whose values last only until its next fetch. Errors come as they
// would from one thread: the first row's that fails, in document order.
template <class Encode>
void read_then_encode(RowSource& src, const std::vector<uint32_t>& kept, size_t n_keys, Encode&& encode) {
  constexpr size_t kBatch = 1024, kSlots = 4;  // rows a batch; batches under way
  struct Batch {
    size_t from = 0, to = 0;
    std::vector<json::Value> values;
    std::unique_ptr<bool[]> found;
    json::Arena arena;
  };
  Batch slots[kSlots];
  for (Batch& b : slots) {
    b.values.resize(kBatch * n_keys);
    b.found.reset(new bool[kBatch * n_keys]);
  }
  std::mutex m;
  std::condition_variable cv;
  size_t handed = 0, encoded = 0;  // batches given to the encoder, and encoded
  bool closed = false, failed = false;
  std::exception_ptr read_error, encode_error;
  const size_t n = kept.size();

  run_parallel(2, [&](size_t t) {
    if (t == 1) {
      for (size_t b = 0;; ++b) {
        {
          std::unique_lock lock(m);
          cv.wait(lock, [&] { return handed > b || closed; });
          if (handed <= b) return;
        }
        Batch& batch = slots[b % kSlots];
        try {
          cancel_point();
          for (size_t r = batch.from; r < batch.to; ++r) {
            const size_t k = (r - batch.from) * n_keys;
            try {
              encode(r, &batch.values[k], &batch.found[k]);
            } catch (const Error& e) {
              rethrow_for_row(e, kept[r], batch.found[k + kMuta] ? &batch.values[k + kMuta] : nullptr);
            }
          }
        } catch (...) {
          std::lock_guard lock(m);
          encode_error = std::current_exception();
          failed = true;
          cv.notify_all();
          return;
        }
        std::lock_guard lock(m);
        encoded = b + 1;
        cv.notify_all();
      }
    }
    std::vector<json::Value> values(n_keys);
    std::unique_ptr<bool[]> found(new bool[n_keys]);
    try {
      for (size_t b = 0, from = 0; from < n; ++b, from += kBatch) {
        {
          std::unique_lock lock(m);
          cv.wait(lock, [&] { return encoded + kSlots > b || failed; });
          if (failed) break;
        }
        cancel_point();
        Batch& batch = slots[b % kSlots];
        batch.from = from;
        batch.to = std::min(n, from + kBatch);
        batch.arena.reset();
        for (size_t r = batch.from; r < batch.to; ++r) {
          found[kMuta] = false;
          try {
            src.fetch(kept[r], values.data(), found.get());
          } catch (const Error& e) {
            rethrow_for_row(e, kept[r], found[kMuta] ? &values[kMuta] : nullptr);
          }
          const size_t k = (r - batch.from) * n_keys;
          for (size_t i = 0; i < n_keys; ++i) {
            batch.values[k + i] = found[i] ? json::copy_into(values[i], batch.arena) : json::Value::null();
            batch.found[k + i] = found[i];
          }
        }
        std::lock_guard lock(m);
        handed = b + 1;
        cv.notify_all();
      }
    } catch (...) {
      read_error = std::current_exception();
    }
    std::lock_guard lock(m);
    closed = true;
    cv.notify_all();
  });
  // The encoder only ever saw rows before the one the reader failed on.
  if (encode_error) std::rethrow_exception(encode_error);
  if (read_error) std::rethrow_exception(read_error);
}

}  // namespace

void build_standard_rows(RowSource& rows, const std::vector<uint32_t>& kept, const RowLayout& layout,
                         const ReferenceNames& names, int64_t chunk_size, unsigned threads,
                         StandardRows& out) {
  const size_t n = kept.size();
  const size_t n_chunks = chunk_count(n, chunk_size);

  // Pass 1, document order: sort keys, code ids, and each row's text in two parts around the
  // region and branch positions. Sources that can be cloned are read on several threads,
  // each over its own contiguous range of rows.
  rows.prepare(layout.keys);
  std::vector<std::unique_ptr<RowSource>> sources = reader_clones(rows, threads, n);
  const unsigned readers = sources.empty() ? 1 : static_cast<unsigned>(sources.size());
  RiskOrder risk(n);
  std::vector<CodeIds> local_regions(readers), local_branches(readers);
  std::vector<uint32_t> region_id(n, kNone), branch_id(n, kNone);
  std::vector<uint8_t> region_form(n, 0), branch_form(n, 0);
  std::vector<std::string> texts(readers);
  std::vector<uint8_t> owner(n, 0);
  std::vector<uint64_t> start(n, 0);
  std::vector<uint32_t> length(n, 0), split(n, 0);
  // Row r's values into the buffers of reader t.
  struct Encoder {
    std::vector<json::Value> arr;
    json::Arena scratch;
    const Catalogue no_catalogue;
  };
  std::vector<Encoder> encoders(readers);
  auto encode = [&](unsigned t, size_t r, const json::Value* values, const bool* found) {
    Encoder& e = encoders[t];
    const json::WriteOptions opts{false, true};
    std::string& text = texts[t];
    risk.add(r, values[3], found[3], kept[r], found[kMuta] ? &values[kMuta] : nullptr);
    if (found[4] && !values[4].is_null()) region_id[r] = local_regions[t].id_of(values[4], &region_form[r]);
    if (found[5] && !values[5].is_null()) branch_id[r] = local_branches[t].id_of(values[5], &branch_form[r]);
    encode_row_standard(layout, values, found, e.no_catalogue, e.scratch, e.arr);
    owner[r] = static_cast<uint8_t>(t);
    start[r] = text.size();
    text.push_back('[');
    for (size_t i = 0; i < 4; ++i) {
      json::write(text, e.arr[i], opts);
      text.push_back(',');
    }
    split[r] = static_cast<uint32_t>(text.size() - start[r]);
    for (size_t i = 6; i < e.arr.size(); ++i) {
      text.push_back(',');
      json::write(text, e.arr[i], opts);
    }
    text.push_back(']');
    length[r] = static_cast<uint32_t>(text.size() - start[r]);
    e.scratch.reset();
  };
  // Size a reader's buffer once from its first rows instead of doubling it (and its peak) later.
  auto size_buffer = [&](unsigned t, size_t r, size_t from, size_t to) {
    if (r == from + 1023 && to - from > 2048) {
      texts[t].reserve(static_cast<size_t>(static_cast<double>(texts[t].size()) / 1024 * (to - from) * 1.1));
    }
  };
  for (unsigned t = 0; t < readers; ++t) texts[t].reserve(std::min<size_t>(n * (t + 1) / readers - n * t / readers, 1024) * 256);

  if (readers == 1 && threads >= 2 && n >= kMinRowsToPipeline) {
    read_then_encode(rows, kept, layout.keys.size(), [&](size_t r, const json::Value* values, const bool* found) {
      encode(0, r, values, found);
      size_buffer(0, r, 0, n);
    });
  } else {
    run_parallel(readers, [&](unsigned t) {
      RowSource& src = readers == 1 ? rows : *sources[t];
      const size_t from = n * t / readers, to = n * (t + 1) / readers;
      std::vector<json::Value> values(layout.keys.size());
      std::unique_ptr<bool[]> found(new bool[layout.keys.size()]);
      for (size_t r = from; r < to; ++r) {
        if ((r - from) % kRowsPerCancelPoint == 0) cancel_point();
        // A bad value ends the render with an error that says which row holds it.
        found[kMuta] = false;
        try {
          src.fetch(kept[r], values.data(), found.get());
          encode(t, r, values.data(), found.get());
        } catch (const Error& e) {
          rethrow_for_row(e, kept[r], found[kMuta] ? &values[kMuta] : nullptr);
        }
        size_buffer(t, r, from, to);
      }
    });
  }
  rows.verify();
  cancel_point();
  // One id space for the codes (and forms) of all readers, in document order.
  CodeIds regions, branches;
  struct Global {
    uint32_t id;
    std::vector<uint8_t> form;  // global form of each local form
  };
  auto merge = [](CodeIds& local, CodeIds& global) {
    std::vector<Global> map(local.forms.size());
    for (size_t id = 0; id < local.forms.size(); ++id) {
      for (const auto& v : local.forms[id]) {
        uint8_t f = 0;
        map[id].id = global.id_of(v, &f);
        map[id].form.push_back(f);
      }
    }
    return map;
  };
  for (unsigned t = 0; t < readers; ++t) {
    std::vector<Global> region_map = merge(local_regions[t], regions);
    std::vector<Global> branch_map = merge(local_branches[t], branches);
    const size_t from = n * t / readers, to = n * (t + 1) / readers;
    for (size_t r = from; r < to; ++r) {
      if (region_id[r] != kNone) {
        const Global& g = region_map[region_id[r]];
        region_id[r] = g.id;
        region_form[r] = g.form[region_form[r]];
      }
      if (branch_id[r] != kNone) {
        const Global& g = branch_map[branch_id[r]];
        branch_id[r] = g.id;
        branch_form[r] = g.form[branch_form[r]];
      }
    }
  }

  // Order, then the catalogue over the ordered rows: regions first, then branches.
  std::vector<uint32_t> pos = risk.sorted_positions();
  out.order.resize(n);
  for (size_t k = 0; k < n; ++k) out.order[k] = kept[pos[k]];

  Catalogue& cat = out.catalogue;
  std::vector<int> region_index(regions.forms.size(), -1), branch_index(branches.forms.size(), -1);
  for (uint32_t p : pos) {
    uint32_t id = region_id[p];
    if (id == kNone || region_index[id] >= 0) continue;
    const json::Value& code = regions.forms[id][region_form[p]];
    std::string name = region_name(names, text_form(code));
    region_index[id] = static_cast<int>(cat.regions.size());
    cat.region_index.emplace(make_code_key(code), region_index[id]);
    cat.regions.push_back(RegionRecord{code, std::move(name)});
  }
  for (uint32_t p : pos) {
    uint32_t id = branch_id[p];
    if (id == kNone || branch_index[id] >= 0) continue;
    const json::Value& code = branches.forms[id][branch_form[p]];
    std::optional<std::string> name = branch_name(names, text_form(code));
    int bolge_idx = region_id[p] == kNone ? -1 : region_index[region_id[p]];
    branch_index[id] = static_cast<int>(cat.branches.size());
    cat.branch_index.emplace(make_code_key(code), branch_index[id]);
    cat.branches.push_back(BranchRecord{code, std::move(name), bolge_idx});
  }
  // The catalogue's own arena must own the code texts it lists.
  auto own_text = [&](json::Value& v) {
    if (v.is_string()) v = cat.arena.string(v.as_string());
    if (v.kind() == json::Kind::BigInt) v = json::Value::big_integer(cat.arena.copy_string(v.as_string()));
  };
  for (auto& r : cat.regions) own_text(r.kodu);
  for (auto& b : cat.branches) own_text(b.kodu);

  // Everything a chunk needs is kept; chunks are put together on request.
  out.n_rows_ = n;
  out.n_chunks_ = n_chunks;
  out.chunk_size_ = n == 0 ? 1 : static_cast<size_t>(chunk_size);
  out.region_.assign(n, -1);
  out.branch_.assign(n, -1);
  uint64_t total = 0;
  for (size_t r = 0; r < n; ++r) {
    if (region_id[r] != kNone) out.region_[r] = region_index[region_id[r]];
    if (branch_id[r] != kNone) out.branch_[r] = branch_index[branch_id[r]];
    total += length[r] + 2 + (out.region_[r] < 0 ? 2 : 3) + (out.branch_[r] < 0 ? 2 : 4);
  }
  out.total_bytes_ = n == 0 ? 2 : total + n_chunks;  // an estimate is enough to pick the path
  out.texts_ = std::move(texts);
  out.owner_ = std::move(owner);
  out.start_ = std::move(start);
  out.length_ = std::move(length);
  out.split_ = std::move(split);
  out.pos_ = std::move(pos);
}

void StandardRows::assemble(size_t c, std::string& out, AtomicFile* file) const {
  if (n_rows_ == 0) {
    out += "[]";
    return;
  }
  size_t from = c * chunk_size_, to = std::min(n_rows_, from + chunk_size_);
  out.push_back('[');
  for (size_t k = from; k < to; ++k) {
    uint32_t p = pos_[k];
    if (k != from) out.push_back(',');
    const char* row = texts_[owner_[p]].data() + start_[p];
    out.append(row, split_[p]);
    halvex::append_int(out, region_[p]);
    out.push_back(',');
    halvex::append_int(out, branch_[p]);
    out.append(row + split_[p], length_[p] - split_[p]);
    if (file && out.size() >= (size_t(1) << 20)) {
      file->write(out);
      out.clear();
    }
  }
  out.push_back(']');
}

std::string StandardRows::text(size_t c) const {
  std::string out;
  assemble(c, out, nullptr);
  return out;
}

void StandardRows::write(size_t c, AtomicFile& file) const {
  std::string out;
  out.reserve(size_t(1) << 20 | 4096);
  assemble(c, out, &file);
  file.write(out);
}

}  // namespace halvex::pipeline

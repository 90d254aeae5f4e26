#include "table/arrow_bridge.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/parallel.h"
#include "table/iso_time.h"

namespace halvex::table {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Dates and times become their ISO text (table/iso_time.h): a Table has no
// time type, and the text sorts as the time does.
enum class Kind { Null, Bool, Int, UInt, Float32, Float64, Decimal, Utf8, LargeUtf8, View, Date32, Date64, Timestamp };

struct Format {
  Kind kind = Kind::Null;
  int width = 8;      // bytes, for integers and decimals
  int scale = 0;      // decimals
  std::int64_t per_second = 1;  // timestamps: ticks per second
};

bool parse_format(const char* f, Format& out) {
  std::string_view s(f ? f : "");
  auto integer = [&](Kind k, int w) { out.kind = k; out.width = w; return true; };
  if (s == "n") { out.kind = Kind::Null; return true; }
  if (s == "b") { out.kind = Kind::Bool; return true; }
  if (s == "c") return integer(Kind::Int, 1);
  if (s == "C") return integer(Kind::UInt, 1);
  if (s == "s") return integer(Kind::Int, 2);
  if (s == "S") return integer(Kind::UInt, 2);
  if (s == "i") return integer(Kind::Int, 4);
  if (s == "I") return integer(Kind::UInt, 4);
  if (s == "l") return integer(Kind::Int, 8);
  if (s == "L") return integer(Kind::UInt, 8);
  if (s == "f") { out.kind = Kind::Float32; return true; }
  if (s == "g") { out.kind = Kind::Float64; return true; }
  if (s == "u" || s == "z") { out.kind = Kind::Utf8; return true; }
  if (s == "U" || s == "Z") { out.kind = Kind::LargeUtf8; return true; }
  if (s == "vu" || s == "vz") { out.kind = Kind::View; return true; }
  if (s == "tdD") { out.kind = Kind::Date32; return true; }
  if (s == "tdm") { out.kind = Kind::Date64; return true; }
  if (s.size() >= 4 && s.substr(0, 2) == "ts" && s[3] == ':') {
    // "tsu:Etc/UTC": a zone only says how to show the time; the value counts from UTC.
    static constexpr std::pair<char, std::int64_t> kUnits[] = {{'s', 1}, {'m', 1000}, {'u', 1000000}, {'n', 1000000000}};
    for (auto [unit, per_second] : kUnits)
      if (s[2] == unit) {
        out.kind = Kind::Timestamp;
        out.per_second = per_second;
        return true;
      }
    return false;
  }
  if (s.size() > 2 && s.substr(0, 2) == "d:") {
    // d:precision,scale[,bitwidth]
    int parts[3] = {0, 0, 128};
    int k = 0;
    for (std::size_t i = 2; i < s.size() && k < 3; ++i) {
      if (s[i] == ',') { ++k; if (k < 3) parts[k] = 0; continue; }
      if (s[i] < '0' || s[i] > '9') return false;
      parts[k] = parts[k] * 10 + (s[i] - '0');
    }
    if (k == 1) parts[2] = 128;
    if (parts[2] != 32 && parts[2] != 64 && parts[2] != 128) return false;
    out.kind = Kind::Decimal;
    out.scale = parts[1];
    out.width = parts[2] / 8;
    return true;
  }
  return false;
}

DType target_type(Kind k) {
  switch (k) {
    case Kind::Bool: return DType::Bool;
    case Kind::Int:
    case Kind::UInt: return DType::Int64;
    case Kind::Utf8:
    case Kind::LargeUtf8:
    case Kind::View:
    case Kind::Date32:
    case Kind::Date64:
    case Kind::Timestamp: return DType::Text;
    default: return DType::Float64;
  }
}

// Days of a date64 (milliseconds, whole days by Arrow's rules, rounded down if not).
inline std::int64_t floor_days(std::int64_t ms) {
  constexpr std::int64_t kDay = 86400000;
  return ms / kDay - (ms % kDay < 0 ? 1 : 0);
}

inline bool is_time(Kind k) { return k == Kind::Date32 || k == Kind::Date64 || k == Kind::Timestamp; }

inline bool bit(const void* bits, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1;
}

// One array of one column: plain values, or dictionary indices into `dict`.
struct Source {
  Format fmt;
  const ArrowArray* a = nullptr;
  std::int64_t off = 0;
  std::int64_t len = 0;
  bool dictionary = false;
  Format index_fmt;
  std::unique_ptr<Source> dict;
  mutable char time_text[kMaxIsoTime];  // the last date or time written out

  bool may_have_nulls() const {
    if (fmt.kind == Kind::Null && !dictionary) return len > 0;
    if (dictionary && dict && dict->may_have_nulls()) return true;
    return a->null_count != 0 && a->buffers[0] != nullptr;
  }
  bool valid(std::int64_t i) const {
    if (!dictionary && fmt.kind == Kind::Null) return false;
    if (a->null_count != 0 && a->buffers[0] && !bit(a->buffers[0], off + i)) return false;
    if (dictionary) return dict->valid(index(i));
    return true;
  }
  std::int64_t index(std::int64_t i) const { return read_int(index_fmt, i); }

  std::int64_t read_int(const Format& f, std::int64_t i) const {
    const void* b = a->buffers[1];
    std::int64_t p = off + i;
    if (f.kind == Kind::Int) {
      switch (f.width) {
        case 1: return static_cast<const std::int8_t*>(b)[p];
        case 2: return static_cast<const std::int16_t*>(b)[p];
        case 4: return static_cast<const std::int32_t*>(b)[p];
        default: return static_cast<const std::int64_t*>(b)[p];
      }
    }
    switch (f.width) {
      case 1: return static_cast<const std::uint8_t*>(b)[p];
      case 2: return static_cast<const std::uint16_t*>(b)[p];
      case 4: return static_cast<const std::uint32_t*>(b)[p];
      default: return static_cast<std::int64_t>(static_cast<const std::uint64_t*>(b)[p]);
    }
  }

  std::int64_t int_at(std::int64_t i) const {
    if (dictionary) return dict->int_at(index(i));
    if (fmt.kind == Kind::Bool) return bit(a->buffers[1], off + i);
    return read_int(fmt, i);
  }
  bool bool_at(std::int64_t i) const {
    if (dictionary) return dict->bool_at(index(i));
    return bit(a->buffers[1], off + i);
  }
  double double_at(std::int64_t i) const {
    if (dictionary) return dict->double_at(index(i));
    std::int64_t p = off + i;
    switch (fmt.kind) {
      case Kind::Float32: return static_cast<const float*>(a->buffers[1])[p];
      case Kind::Float64: return static_cast<const double*>(a->buffers[1])[p];
      case Kind::Decimal: return decimal_at(p);
      case Kind::Int:
      case Kind::UInt: return static_cast<double>(read_int(fmt, i));
      default: return kNaN;
    }
  }
  double decimal_at(std::int64_t p) const {
    const std::uint8_t* b = static_cast<const std::uint8_t*>(a->buffers[1]) + p * fmt.width;
    double v;
    if (fmt.width == 4) {
      std::int32_t x;
      std::memcpy(&x, b, 4);
      v = x;
    } else if (fmt.width == 8) {
      std::int64_t x;
      std::memcpy(&x, b, 8);
      v = static_cast<double>(x);
    } else {
      __int128 x;
      std::memcpy(&x, b, 16);  // little-endian two's complement
      v = static_cast<double>(x);
    }
    // Division by an exact power of ten keeps short decimals exact (1.25 -> 1.25).
    static const double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (fmt.scale >= 0 && fmt.scale <= 22) return v / kPow10[fmt.scale];
    return v / std::pow(10.0, fmt.scale);
  }
  std::string_view str_at(std::int64_t i) const {
    if (dictionary) return dict->str_at(index(i));
    std::int64_t p = off + i;
    switch (fmt.kind) {
      case Kind::Utf8: {
        auto o = static_cast<const std::int32_t*>(a->buffers[1]);
        return {static_cast<const char*>(a->buffers[2]) + o[p], static_cast<std::size_t>(o[p + 1] - o[p])};
      }
      case Kind::LargeUtf8: {
        auto o = static_cast<const std::int64_t*>(a->buffers[1]);
        return {static_cast<const char*>(a->buffers[2]) + o[p], static_cast<std::size_t>(o[p + 1] - o[p])};
      }
      case Kind::View: {
        const char* v = static_cast<const char*>(a->buffers[1]) + p * 16;
        std::int32_t n;
        std::memcpy(&n, v, 4);
        if (n <= 12) return {v + 4, static_cast<std::size_t>(n)};
        std::int32_t buf, at;
        std::memcpy(&buf, v + 8, 4);
        std::memcpy(&at, v + 12, 4);
        return {static_cast<const char*>(a->buffers[2 + buf]) + at, static_cast<std::size_t>(n)};
      }
      case Kind::Date32:
        return {time_text, write_iso_date(static_cast<const std::int32_t*>(a->buffers[1])[p], time_text)};
      case Kind::Date64:
        return {time_text,
                write_iso_date(floor_days(static_cast<const std::int64_t*>(a->buffers[1])[p]), time_text)};
      case Kind::Timestamp:
        return {time_text,
                write_iso_time(static_cast<const std::int64_t*>(a->buffers[1])[p], fmt.per_second, time_text)};
      default: return {};
    }
  }
};

struct ColumnPlan {
  std::string name;
  const ArrowSchema* schema = nullptr;
  Format fmt;        // value format (of the dictionary values for dictionaries)
  bool dictionary = false;
  Format index_fmt;
};

ColumnPlan plan_column(const ArrowSchema* s) {
  ColumnPlan p;
  p.name = s->name ? s->name : "";
  p.schema = s;
  const char* value_format = s->format;
  if (s->dictionary) {
    p.dictionary = true;
    if (!parse_format(s->format, p.index_fmt) ||
        (p.index_fmt.kind != Kind::Int && p.index_fmt.kind != Kind::UInt))
      throw UnsupportedType("column '" + p.name + "': unsupported dictionary index type '" + s->format + "'");
    value_format = s->dictionary->format;
    if (s->dictionary->dictionary)
      throw UnsupportedType("column '" + p.name + "': nested dictionaries are not supported");
  }
  if (!parse_format(value_format, p.fmt))
    throw UnsupportedType("column '" + p.name + "' has unsupported Arrow type '" +
                          std::string(value_format ? value_format : "?") + "'");
  return p;
}

Source make_source(const ColumnPlan& p, const ArrowArray* batch, std::int64_t k) {
  const ArrowArray* child = batch->children[k];
  Source s;
  s.a = child;
  s.off = batch->offset + child->offset;
  s.len = batch->length;
  if (p.dictionary) {
    s.dictionary = true;
    s.index_fmt = p.index_fmt;
    s.fmt = p.fmt;
    s.dict = std::make_unique<Source>();
    s.dict->fmt = p.fmt;
    s.dict->a = child->dictionary;
    s.dict->off = child->dictionary->offset;
    s.dict->len = child->dictionary->length;
  } else {
    s.fmt = p.fmt;
  }
  return s;
}

// Characters of a text column's values; dates and times are written out
// once here, and one outside the years 0000-9999 is refused.
std::int64_t text_bytes(const Source& s, const std::string& name) {
  if (!s.dictionary && s.fmt.kind == Kind::Utf8) {
    auto o = static_cast<const std::int32_t*>(s.a->buffers[1]);
    return s.len ? o[s.off + s.len] - o[s.off] : 0;
  }
  if (!s.dictionary && s.fmt.kind == Kind::LargeUtf8) {
    auto o = static_cast<const std::int64_t*>(s.a->buffers[1]);
    return s.len ? o[s.off + s.len] - o[s.off] : 0;
  }
  std::int64_t total = 0;
  const bool time = is_time(s.fmt.kind);
  for (std::int64_t i = 0; i < s.len; ++i)
    if (s.valid(i)) {
      const std::size_t n = s.str_at(i).size();
      if (time && n == 0)
        throw ValueError("column '" + name + "' holds a date or time outside the years 0000 to 9999 (infinity?), "
                         "which has no ISO text that sorts in time order");
      total += static_cast<std::int64_t>(n);
    }
  return total;
}

// Writes rows [row0, row0 + s.len) of `col` (and, for text, chars from char0).
void write_chunk(const Source& s, Column& col, std::size_t row0, std::int64_t char0) {
  const bool mask = col.has_mask();
  const std::int64_t n = s.len;
  switch (col.type()) {
    case DType::Float64: {
      double* out = col.f64.data() + row0;
      if (!s.dictionary && s.fmt.kind == Kind::Float64) {
        std::memcpy(out, static_cast<const double*>(s.a->buffers[1]) + s.off, n * sizeof(double));
        if (s.may_have_nulls())
          for (std::int64_t i = 0; i < n; ++i)
            if (!s.valid(i)) out[i] = kNaN;
        return;
      }
      for (std::int64_t i = 0; i < n; ++i) out[i] = s.valid(i) ? s.double_at(i) : kNaN;
      return;
    }
    case DType::Int64: {
      std::int64_t* out = col.i64.data() + row0;
      bool nulls = s.may_have_nulls();
      if (!s.dictionary && s.fmt.kind == Kind::Int && s.fmt.width == 4) {
        auto in = static_cast<const std::int32_t*>(s.a->buffers[1]) + s.off;
        for (std::int64_t i = 0; i < n; ++i) out[i] = in[i];
      } else if (!s.dictionary && s.fmt.kind == Kind::Int && s.fmt.width == 8) {
        std::memcpy(out, static_cast<const std::int64_t*>(s.a->buffers[1]) + s.off, n * 8);
      } else {
        for (std::int64_t i = 0; i < n; ++i) out[i] = (!nulls || s.valid(i)) ? s.int_at(i) : 0;
      }
      if (mask)
        for (std::int64_t i = 0; i < n; ++i) col.valid[row0 + i] = !nulls || s.valid(i);
      return;
    }
    case DType::Bool: {
      bool nulls = s.may_have_nulls();
      for (std::int64_t i = 0; i < n; ++i) {
        bool v = !nulls || s.valid(i);
        col.b8[row0 + i] = v && s.bool_at(i);
        if (mask) col.valid[row0 + i] = v;
      }
      return;
    }
    case DType::Text: {
      std::int64_t* off = col.offsets.data() + row0;  // off[0] was written by the previous chunk
      char* chars = col.chars.data();
      bool nulls = s.may_have_nulls();
      if (!s.dictionary && (s.fmt.kind == Kind::Utf8 || s.fmt.kind == Kind::LargeUtf8)) {
        std::int64_t first;
        const char* data = static_cast<const char*>(s.a->buffers[2]);
        if (s.fmt.kind == Kind::Utf8) {
          auto o = static_cast<const std::int32_t*>(s.a->buffers[1]) + s.off;
          first = o[0];
          for (std::int64_t i = 0; i < n; ++i) off[i + 1] = char0 + (o[i + 1] - first);
        } else {
          auto o = static_cast<const std::int64_t*>(s.a->buffers[1]) + s.off;
          first = o[0];
          for (std::int64_t i = 0; i < n; ++i) off[i + 1] = char0 + (o[i + 1] - first);
        }
        if (n) std::memcpy(chars + char0, data + first, off[n] - char0);
      } else {
        std::int64_t at = char0;
        for (std::int64_t i = 0; i < n; ++i) {
          if (!nulls || s.valid(i)) {
            std::string_view v = s.str_at(i);
            if (!v.empty()) std::memcpy(chars + at, v.data(), v.size());
            at += static_cast<std::int64_t>(v.size());
          }
          off[i + 1] = at;
        }
      }
      if (mask)
        for (std::int64_t i = 0; i < n; ++i) col.valid[row0 + i] = !nulls || s.valid(i);
      return;
    }
  }
}

std::string stream_error(ArrowArrayStream* s, int code) {
  const char* msg = s->get_last_error ? s->get_last_error(s) : nullptr;
  return std::string("Arrow stream failed: ") + (msg ? msg : std::strerror(code));
}

}  // namespace

ArrowBatches::~ArrowBatches() {
  for (auto& b : batches)
    if (b.release) b.release(&b);
  if (schema.release) schema.release(&schema);
}

std::size_t ArrowBatches::rows() const {
  std::size_t n = 0;
  for (const auto& b : batches) n += static_cast<std::size_t>(b.length);
  return n;
}

ArrowBatches read_arrow_stream(ArrowArrayStream* stream) {
  if (!stream || !stream->release) throw ValueError("released or null Arrow stream");
  ArrowBatches sb;
  if (int rc = stream->get_schema(stream, &sb.schema)) throw RuntimeError(stream_error(stream, rc));
  if (std::string_view(sb.schema.format ? sb.schema.format : "") != "+s")
    throw UnsupportedType("Arrow stream does not carry record batches");
  for (;;) {
    ArrowArray a{};
    if (int rc = stream->get_next(stream, &a)) throw RuntimeError(stream_error(stream, rc));
    if (!a.release) break;
    sb.batches.push_back(a);
  }
  return sb;
}

Table import_arrow_stream(ArrowArrayStream* stream, const std::function<bool(const std::string&)>& wanted) {
  return import_arrow_batches(read_arrow_stream(stream), wanted);
}

Table import_arrow_batches(const ArrowBatches& sb, const std::function<bool(const std::string&)>& wanted) {
  std::vector<std::size_t> row0(sb.batches.size() + 1, 0);
  for (std::size_t b = 0; b < sb.batches.size(); ++b) row0[b + 1] = row0[b] + sb.batches[b].length;
  const std::size_t rows = row0.back();

  struct Job {
    ColumnPlan plan;
    std::int64_t child;
    Column col;
    std::vector<std::int64_t> char0;  // text: first char of each batch
  };
  std::vector<Job> jobs;
  for (std::int64_t k = 0; k < sb.schema.n_children; ++k) {
    const ArrowSchema* cs = sb.schema.children[k];
    std::string name = cs->name ? cs->name : "";
    if (wanted && !wanted(name)) continue;
    Job j{plan_column(cs), k, Column(), {}};
    jobs.push_back(std::move(j));
  }

  // Allocate every column at its final size; text sizes come from a first pass.
  for (auto& j : jobs) {
    DType t = target_type(j.plan.fmt.kind);
    bool nulls = false;
    std::int64_t chars = 0;
    for (std::size_t b = 0; b < sb.batches.size(); ++b) {
      Source s = make_source(j.plan, &sb.batches[b], j.child);
      nulls |= s.may_have_nulls();
      if (t == DType::Text) {
        j.char0.push_back(chars);
        chars += text_bytes(s, j.plan.name);
      }
    }
    switch (t) {
      case DType::Float64: j.col = Column::float64(rows); break;
      case DType::Int64:
        j.col = Column::int64(rows);
        j.col.int_width = static_cast<std::uint8_t>(j.plan.fmt.width);
        break;
      case DType::Bool: j.col = Column::boolean(rows); break;
      case DType::Text: j.col = Column::text(rows, chars ? chars : 1); break;
    }
    if (nulls) j.col.ensure_mask();
  }

  // Fill: one task per (column, batch), shared by the worker threads.
  std::vector<std::pair<std::size_t, std::size_t>> tasks;
  for (std::size_t c = 0; c < jobs.size(); ++c)
    for (std::size_t b = 0; b < sb.batches.size(); ++b) tasks.emplace_back(c, b);
  std::atomic<std::size_t> next{0};
  std::size_t threads = worker_count(rows);
  run_ranges(even_ranges(threads, threads), [&](const RowRange&) {
    for (std::size_t t; (t = next.fetch_add(1)) < tasks.size();) {
      auto [c, b] = tasks[t];
      Job& j = jobs[c];
      Source s = make_source(j.plan, &sb.batches[b], j.child);
      write_chunk(s, j.col, row0[b], j.col.type() == DType::Text ? j.char0[b] : 0);
    }
  });

  Table out;
  for (auto& j : jobs) out.set(j.plan.name, std::move(j.col));
  return out;
}

namespace {

struct ExportData {
  Buffer<std::uint8_t> validity;
  Buffer<std::int64_t> offsets;
  Buffer<char> chars;
  const void* buffers[3];
};

void release_array(ArrowArray* a) {
  delete static_cast<ExportData*>(a->private_data);
  a->release = nullptr;
}

void release_schema(ArrowSchema* s) { s->release = nullptr; }

}  // namespace

void export_text_column(Column&& c, ArrowArray* out_array, ArrowSchema* out_schema) {
  if (c.type() != DType::Text) throw UnsupportedType("only text columns are exported to Arrow");
  const std::size_t n = c.size();
  auto data = std::make_unique<ExportData>();
  std::int64_t nulls = 0;
  if (c.has_mask()) {
    data->validity = Buffer<std::uint8_t>((n + 7) / 8, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (c.valid[i]) data->validity[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
      else ++nulls;
    }
  }
  data->offsets = std::move(c.offsets);
  data->chars = std::move(c.chars);
  data->buffers[0] = nulls ? data->validity.data() : nullptr;
  data->buffers[1] = data->offsets.data();
  data->buffers[2] = data->chars.data();

  *out_schema = ArrowSchema{};
  out_schema->format = "U";
  out_schema->name = "";
  out_schema->flags = ARROW_FLAG_NULLABLE;
  out_schema->release = release_schema;

  *out_array = ArrowArray{};
  out_array->length = static_cast<std::int64_t>(n);
  out_array->null_count = nulls;
  out_array->n_buffers = 3;
  out_array->buffers = data->buffers;
  out_array->release = release_array;
  out_array->private_data = data.release();
  c = Column();
}

}  // namespace halvex::table

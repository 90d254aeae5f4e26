#include "table/text_form.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "common/number_text.h"
#include "common/parallel.h"

namespace halvex::table {

bool append_text_form(const Column& c, std::size_t i, std::string& out) {
  if (!c.present(i)) return false;
  char buf[kMaxDoubleRepr];
  switch (c.type()) {
    case DType::Text: out.append(c.str(i)); break;
    case DType::Int64: out.append(buf, write_int(c.i64[i], buf)); break;
    case DType::Float64: out.append(buf, write_double_repr(c.f64[i], buf, false)); break;
    case DType::Bool: out.append(bool_text(c.b8[i])); break;
  }
  return true;
}

bool text_form_equals(const Column& c, std::size_t i, std::string_view s) {
  if (!c.present(i)) return false;
  char buf[kMaxDoubleRepr];
  switch (c.type()) {
    case DType::Text: return c.str(i) == s;
    case DType::Int64: return std::string_view(buf, write_int(c.i64[i], buf)) == s;
    case DType::Float64: return std::string_view(buf, write_double_repr(c.f64[i], buf, false)) == s;
    case DType::Bool: return s == bool_text(c.b8[i]);
  }
  return false;
}

Column text_form_in(const Column& c, const std::vector<std::string>& codes) {
  const std::size_t n = c.size();
  Column out = Column::boolean(n);
  // A number matches a code only if the code is that number's exact text
  // form, so each code is turned into the one value whose form it is.
  std::vector<std::int64_t> ints;
  std::vector<double> floats;
  for (const auto& code : codes) {
    std::int64_t iv = 0;
    auto ri = std::from_chars(code.data(), code.data() + code.size(), iv);
    if (ri.ec == std::errc() && ri.ptr == code.data() + code.size()) {
      char buf[kMaxIntText];
      if (std::string_view(buf, write_int(iv, buf)) == code) ints.push_back(iv);
    }
    double dv = 0;
    auto rd = std::from_chars(code.data(), code.data() + code.size(), dv);
    if (rd.ec == std::errc() && rd.ptr == code.data() + code.size() && double_repr(dv, false) == code) floats.push_back(dv);
  }
  parallel_rows(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      bool hit = false;
      if (c.present(i)) {
        switch (c.type()) {
          case DType::Text: {
            std::string_view v = c.str(i);
            for (const auto& code : codes) hit |= v == code;
            break;
          }
          case DType::Int64:
            for (auto v : ints) hit |= c.i64[i] == v;
            break;
          case DType::Float64:
            for (auto v : floats) hit |= c.f64[i] == v && std::signbit(c.f64[i]) == std::signbit(v);
            break;
          case DType::Bool:
            for (const auto& code : codes) hit |= code == bool_text(c.b8[i]);
            break;
        }
      }
      out.b8[i] = hit;
    }
  });
  return out;
}

Column to_text(const Column& c) {
  if (c.type() == DType::Text) return c.clone();
  const std::size_t n = c.size();
  // Each range formats into its own builder; the pieces are then concatenated.
  auto ranges = even_ranges(n, worker_count(n));
  std::vector<Column> parts(ranges.size());
  run_ranges(ranges, [&](const RowRange& r) {
    std::size_t k = &r - ranges.data();
    TextBuilder b(r.end - r.begin, (r.end - r.begin) * 6 + 16);
    std::string tmp;
    for (std::size_t i = r.begin; i < r.end; ++i) {
      tmp.clear();
      if (append_text_form(c, i, tmp)) b.append(tmp);
      else b.append_missing();
    }
    parts[k] = b.finish();
  });
  std::size_t chars = 0;
  bool masked = false;
  for (auto& p : parts) {
    chars += static_cast<std::size_t>(p.offsets[p.size()]);
    masked |= p.has_mask();
  }
  Column out = Column::text(n, chars ? chars : 1);
  if (masked) out.ensure_mask();
  std::size_t row = 0, at = 0;
  for (auto& p : parts) {
    std::size_t m = p.size(), bytes = static_cast<std::size_t>(p.offsets[m]);
    if (bytes) std::memcpy(out.chars.data() + at, p.chars.data(), bytes);
    for (std::size_t j = 0; j < m; ++j) {
      out.offsets[row + j + 1] = static_cast<std::int64_t>(at) + p.offsets[j + 1];
      if (masked) out.valid[row + j] = p.present(j);
    }
    row += m;
    at += bytes;
  }
  return out;
}

}  // namespace halvex::table

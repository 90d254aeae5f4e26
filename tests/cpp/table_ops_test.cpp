// Table operations at group boundaries and on awkward values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/errors.h"
#include "table/arrow_bridge.h"
#include "table/buffer.h"
#include "table/convert.h"
#include "table/groups.h"
#include "table/join.h"
#include "table/sort.h"
#include "table/stats.h"
#include "table/text_form.h"
#include "table/window.h"

using namespace halvex;
using namespace halvex::table;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

Column floats(std::vector<double> v) {
  Column c = Column::float64(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) c.f64[i] = v[i];
  return c;
}

Column ints(std::vector<std::int64_t> v) {
  Column c = Column::int64(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) c.i64[i] = v[i];
  return c;
}

// Text column; "\x01" stands for a missing value.
Column texts(std::vector<std::string> v) {
  TextBuilder b(v.size());
  for (auto& s : v) {
    if (s == "\x01") b.append_missing();
    else b.append(s);
  }
  return b.finish();
}

std::vector<double> values(const Column& c) {
  std::vector<double> out;
  for (std::size_t i = 0; i < c.size(); ++i)
    out.push_back(c.type() == DType::Float64 ? c.f64[i] : c.present(i) ? double(c.i64[i]) : NaN);
  return out;
}

std::vector<std::int64_t> vec(const Buffer<std::int64_t>& b) { return {b.begin(), b.end()}; }

void expect_values(const Column& c, std::vector<double> want) {
  auto got = values(c);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (std::isnan(want[i])) EXPECT_TRUE(std::isnan(got[i])) << "row " << i;
    else EXPECT_DOUBLE_EQ(got[i], want[i]) << "row " << i;
  }
}

}  // namespace

TEST(RunGroups, PositionsAndRemainders) {
  Column key = texts({"a", "a", "a", "b", "\x01", "\x01", "c", "c"});
  RunGroups g = RunGroups::of(key);
  std::vector<int> pos(g.pos(), g.pos() + 8), rem(g.rem(), g.rem() + 8);
  EXPECT_EQ(pos, (std::vector<int>{0, 1, 2, 0, 0, 0, 0, 1}));  // a missing key has no history
  EXPECT_EQ(rem, (std::vector<int>{2, 1, 0, 0, 0, 0, 1, 0}));
}

TEST(RunGroups, RangesStartAtGroupsWhateverTheThreadCount) {
  std::vector<std::int64_t> k;
  for (int i = 0; i < 1000003; ++i) k.push_back(i / 7);
  Column key = ints(k);
  for (const char* threads : {"1", "2", "5"}) {
    setenv("HALVEX_THREADS", threads, 1);
    RunGroups g = RunGroups::of(key);
    for (std::size_t i = 0; i < k.size(); ++i) ASSERT_EQ(g.pos()[i], static_cast<int>(i % 7));
    std::size_t covered = 0;
    for (const auto& r : g.ranges()) {
      EXPECT_EQ(g.pos()[r.begin], 0);
      EXPECT_EQ(r.begin, covered);
      covered = r.end;
    }
    EXPECT_EQ(covered, k.size());
  }
  unsetenv("HALVEX_THREADS");
}

// The statistics the history stage takes of each trailing window.
TEST(Window, StatisticsSkipMissingValues) {
  const double x[] = {900, NaN, 700, NaN};
  WindowStats w = window_stats(x, 3);
  EXPECT_EQ(w.count, 2u);
  EXPECT_EQ(w.max, 900);
  EXPECT_EQ(w.mean, 800);
  EXPECT_EQ(w.std, 100);
  EXPECT_EQ(window_stats(x + 1, 1).count, 0u);
  EXPECT_EQ(window_stats(x, 0).count, 0u);
  const double neg[] = {-5, NaN, -7};
  EXPECT_EQ(window_stats(neg, 3).max, -5);
}

TEST(Window, SpreadOfEqualValuesIsExactlyZero) {
  const double x[] = {0.1, 0.1, 0.1, 1e17 + 8};
  WindowStats w = window_stats(x, 3);
  EXPECT_EQ(w.std, 0.0);
  EXPECT_EQ(w.mean, 0.1);
  const double y[] = {500, 600, 700};
  EXPECT_NEAR(window_stats(y, 3).std, 81.64965809277261, 1e-12);
  const double big[] = {1e17 + 8, 1e17 + 8};
  EXPECT_EQ(window_stats(big, 2).std, 0.0);
  EXPECT_EQ(window_stats(big, 2).mean, 1e17 + 8);
}

TEST(TextForm, CodesMatchOnlyTheirExactForm) {
  Column f = floats({1.0, 1.5, NaN, -0.0, 0.0});
  Column hit = text_form_in(f, {"1.0", "0.0"});
  EXPECT_EQ(std::vector<int>(hit.b8.begin(), hit.b8.end()), (std::vector<int>{1, 0, 0, 0, 1}));
  Column i = ints({1, 10, -1});
  hit = text_form_in(i, {"1", "1.0", "01"});
  EXPECT_EQ(std::vector<int>(hit.b8.begin(), hit.b8.end()), (std::vector<int>{1, 0, 0}));
  Column t = texts({"1", " 1", "\x01", "1.0"});
  hit = text_form_in(t, {"1", "1.0"});
  EXPECT_EQ(std::vector<int>(hit.b8.begin(), hit.b8.end()), (std::vector<int>{1, 0, 0, 1}));
  Column as_text = to_text(floats({7.0, NaN, 2.5}));
  EXPECT_EQ(as_text.str(0), "7.0");
  EXPECT_FALSE(as_text.present(1));
  EXPECT_EQ(as_text.str(2), "2.5");
}

TEST(Convert, NumericTextAndFailures) {
  Column t = texts({"725", " -1.5e2 ", "abc", "", "\x01", "inf", "+3", "1_000", "nan(1)"});
  std::vector<double> got;
  for (std::size_t i = 0; i < t.size(); ++i) got.push_back(numeric_at(t, i));
  expect_values(floats(got), {725, -150, NaN, NaN, NaN, INFINITY, 3, NaN, NaN});
  EXPECT_THROW(to_float64(texts({"1", "12x"}), "kombine_risk"), ConversionError);
  EXPECT_THROW(to_float64(texts({"nan(1)"}), "kombine_risk"), ConversionError);
  expect_values(to_float64(texts({"1", "\x01"}), "r"), {1, NaN});
  expect_values(to_float64(ints({3, -4}), "r"), {3, -4});
  EXPECT_EQ(int64_at(floats({2.7}), 0, "d", -1), 2);
  EXPECT_EQ(int64_at(floats({-2.7}), 0, "d", -1), -2);
  EXPECT_EQ(int64_at(floats({NaN}), 0, "d", -1), -1);
  EXPECT_THROW(int64_at(floats({INFINITY}), 0, "d", 0), ConversionError);
  EXPECT_THROW(int64_at(floats({NaN}), 0, "d"), ConversionError);
  EXPECT_THROW(int64_at(texts({"2.5"}), 0, "d", 0), ConversionError);
  EXPECT_EQ(int64_at(texts({" 07"}), 0, "d", 0), 7);
  EXPECT_EQ(int64_at(texts({"-3"}), 0, "d", 0), -3);
}

TEST(Sort, StableByTwoKeysMissingLast) {
  Column k1 = texts({"b", "a", "\x01", "a", "b"});
  Column k2 = floats({1, 2, 0, NaN, 1});
  auto idx = stable_sort_indices(k1, k2);
  EXPECT_EQ(idx, (std::vector<std::int64_t>{1, 3, 0, 4, 2}));
  EXPECT_TRUE(is_sorted_by(texts({"a", "a", "b"}), ints({1, 2, 0})));
  EXPECT_FALSE(is_sorted_by(texts({"a", "a", "b"}), ints({2, 1, 0})));
  Column taken = take(texts({"x", "yy"}), std::vector<std::int64_t>{1, -1, 0}.data(), 3);
  EXPECT_EQ(taken.str(0), "yy");
  EXPECT_FALSE(taken.present(1));
  EXPECT_EQ(taken.str(2), "x");
}

TEST(Join, LeftRowsKeepOrderAndRepeatPerMatch) {
  Column l1 = texts({"A", "A", "B", "C", "\x01"}), l2 = texts({"7", "8", "7", "7", "7"});
  Column r1 = texts({"B", "A", "B", "Z", "\x01"}), r2 = texts({"7", "7", "7", "7", "7"});
  JoinIndices j = left_join(l1, l2, r1, r2);
  EXPECT_EQ(vec(j.left), (std::vector<std::int64_t>{0, 1, 2, 2, 3, 4}));
  EXPECT_EQ(vec(j.right), (std::vector<std::int64_t>{1, -1, 0, 2, -1, -1}));
  JoinIndices one = left_join(texts({"A", "B"}), texts({"1", "2"}), texts({"B", "A"}), texts({"2", "1"}));
  EXPECT_TRUE(one.left.empty());
  EXPECT_EQ(vec(one.right), (std::vector<std::int64_t>{1, 0}));
}

// Coded second keys give the join of their texts: same rows, same order,
// including repeated matches, unmatched and missing keys on both sides.
TEST(Join, CodedSecondKeysJoinLikeTheirTexts) {
  const std::vector<std::string> dict = {"7", "8", "10"};
  std::vector<std::int32_t> lc = {0, 1, 2, 0, -1, 1, 0}, rc = {2, 0, 0, -1, 1, 2, 0};
  std::vector<std::string> l1 = {"A", "A", "A", "B", "B", "C", "\x01"}, r1 = {"A", "B", "B", "A", "C", "C", "A"};
  auto text_of = [&](const std::vector<std::int32_t>& codes) {
    std::vector<std::string> out;
    for (auto c : codes) out.push_back(c < 0 ? "\x01" : dict[c]);
    return out;
  };
  JoinIndices want = left_join(texts(l1), texts(text_of(lc)), texts(r1), texts(text_of(rc)));
  JoinIndices got = left_join_coded(texts(l1), lc.data(), texts(r1), rc.data());
  EXPECT_EQ(vec(got.left), vec(want.left));
  EXPECT_EQ(vec(got.right), vec(want.right));
  // B/7 matches right rows 1 and 2, in that order.
  EXPECT_EQ(vec(got.right), (std::vector<std::int64_t>{6, -1, 0, 1, 2, -1, 4, -1}));
}

// Sorted sides take the merge path of left_join_coded; its rows must be those
// of the text join: duplicates in right-row order, missing keys on both sides,
// keys on one side only, long histories, and runs at the threads' cuts.
TEST(Join, SortedSidesJoinLikeTheirTexts) {
  struct Case {
    std::size_t entities, periods;
    const char* threads;
  };
  for (Case c : {Case{40, 6, "1"}, Case{3, 400, "1"}, Case{50000, 12, "2"}}) {
    setenv("HALVEX_THREADS", c.threads, 1);
    std::mt19937 rng(static_cast<unsigned>(c.entities));
    auto name = [](std::size_t e) {
      std::string s = std::to_string(e);
      return "E" + std::string(8 - s.size(), '0') + s;
    };
    std::vector<std::string> l1, r1;
    std::vector<std::int32_t> lc, rc;
    for (std::size_t e = 0; e < c.entities; ++e) {
      if (rng() % 5)
        for (std::size_t p = 0; p < c.periods; ++p) {
          l1.push_back(name(e));
          lc.push_back(rng() % 20 ? static_cast<std::int32_t>(p) : -1);
        }
      for (std::size_t p = 0; p < c.periods; ++p)
        for (unsigned k = rng() % 7 == 0 ? 2 : rng() % 3 == 0; k > 0; --k) {
          r1.push_back(name(e));
          rc.push_back(rng() % 30 ? static_cast<std::int32_t>((p + rng() % 2) % c.periods) : -1);
        }
    }
    for (int k = 0; k < 3; ++k) {  // missing entities come last on the left
      l1.push_back("\x01");
      lc.push_back(0);
    }
    auto text_of = [](const std::vector<std::int32_t>& codes) {
      std::vector<std::string> out;
      for (auto v : codes) out.push_back(v < 0 ? "\x01" : std::to_string(v));
      return out;
    };
    JoinIndices want = left_join(texts(l1), texts(text_of(lc)), texts(r1), texts(text_of(rc)));
    JoinIndices got = left_join_coded(texts(l1), lc.data(), texts(r1), rc.data());
    ASSERT_FALSE(want.left.empty()) << c.entities;  // duplicates were drawn
    EXPECT_EQ(vec(got.left), vec(want.left)) << c.entities;
    EXPECT_EQ(vec(got.right), vec(want.right)) << c.entities;
    // Without duplicates the output rows are the left rows.
    std::vector<std::int32_t> once = rc;
    std::set<std::pair<std::string, std::int32_t>> seen;
    for (std::size_t r = 0; r < once.size(); ++r)
      if (once[r] >= 0 && !seen.emplace(r1[r], once[r]).second) once[r] = -1;
    JoinIndices plain = left_join_coded(texts(l1), lc.data(), texts(r1), once.data());
    JoinIndices plain_want = left_join(texts(l1), texts(text_of(lc)), texts(r1), texts(text_of(once)));
    EXPECT_TRUE(plain.left.empty()) << c.entities;
    EXPECT_TRUE(plain_want.left.empty()) << c.entities;
    EXPECT_EQ(vec(plain.right), vec(plain_want.right)) << c.entities;
  }
  unsetenv("HALVEX_THREADS");
}

// The count a join reports before it makes its rows is the number it makes,
// on the merge path (sorted sides, two threads) and the hash paths; a join
// that repeats no left row reports nothing, and a refusal stops it.
TEST(Join, CountsItsRowsBeforeMakingThem) {
  setenv("HALVEX_THREADS", "2", 1);
  std::vector<std::string> l1, r1, lt, rt;
  std::vector<std::int32_t> lc, rc;
  std::size_t expected = 0;
  for (int e = 0; e < 20000; ++e) {
    char name[16];
    std::snprintf(name, sizeof name, "E%05d", e);
    l1.push_back(name);
    lc.push_back(e % 3);
    lt.push_back(std::to_string(e % 3));
    for (int k = 0; k < e % 4; ++k) {  // 0 to 3 matches
      r1.push_back(name);
      rc.push_back(e % 3);
      rt.push_back(std::to_string(e % 3));
    }
    expected += e % 4 ? e % 4 : 1;
  }
  std::vector<std::size_t> told;
  auto tell = [&](std::size_t rows) { told.push_back(rows); };
  JoinIndices merged = left_join_coded(texts(l1), lc.data(), texts(r1), rc.data(), tell);
  std::reverse(r1.begin(), r1.end());  // unsorted: the hash join
  std::reverse(rc.begin(), rc.end());
  std::reverse(rt.begin(), rt.end());
  JoinIndices hashed = left_join_coded(texts(l1), lc.data(), texts(r1), rc.data(), tell);
  JoinIndices text = left_join(texts(l1), texts(lt), texts(r1), texts(rt), tell);
  EXPECT_EQ(told, (std::vector<std::size_t>{expected, expected, expected}));
  EXPECT_EQ(merged.right.size(), expected);
  EXPECT_EQ(hashed.left.size(), expected);
  EXPECT_EQ(text.left.size(), expected);

  auto refuse = [](std::size_t) { throw std::length_error("too many rows"); };
  EXPECT_THROW(left_join(texts(l1), texts(lt), texts(r1), texts(rt), refuse), std::length_error);
  std::vector<std::int32_t> none(rc.size(), -1);  // no right row matches: nothing repeats
  told.clear();
  EXPECT_EQ(left_join_coded(texts(l1), lc.data(), texts(r1), none.data(), tell).right.size(), l1.size());
  EXPECT_TRUE(told.empty());
  unsetenv("HALVEX_THREADS");
}

TEST(Stats, DistinctAndSum) {
  EXPECT_EQ(count_distinct(texts({"a", "a", "b", "\x01", "a"})), 2u);
  EXPECT_EQ(count_distinct(floats({0.0, -0.0, NaN, 1})), 2u);
  EXPECT_EQ(sum(floats({1, NaN, 0, 1})), 2.0);
  EXPECT_EQ(sum(ints({1, 2, -4})), -1.0);
}

// A stream whose source fails: its schema, or its second batch.
struct FailingStream {
  static int get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    if (static_cast<FailingStream*>(s->private_data)->fail_schema) return EIO;
    *out = ArrowSchema{};
    out->format = "+s";
    out->release = [](ArrowSchema* x) { x->release = nullptr; };
    return 0;
  }
  static int get_next(ArrowArrayStream* s, ArrowArray* out) {
    *out = ArrowArray{};
    auto* self = static_cast<FailingStream*>(s->private_data);
    if (self->batches++ == 1) return EIO;
    out->release = [](ArrowArray* x) { x->release = nullptr; };
    return 0;
  }
  static const char* last_error(ArrowArrayStream* s) {
    return static_cast<FailingStream*>(s->private_data)->fail_schema ? nullptr : "engine went away";
  }
  bool fail_schema = false;
  int batches = 0;
  ArrowArrayStream stream() {
    return ArrowArrayStream{get_schema, get_next, last_error, [](ArrowArrayStream* x) { x->release = nullptr; }, this};
  }
};

TEST(ArrowBridge, AFailingSourceIsARuntimeErrorThatSaysWhy) {
  for (bool fail_schema : {false, true}) {
    FailingStream f{fail_schema};
    ArrowArrayStream s = f.stream();
    try {
      read_arrow_stream(&s);
      FAIL() << "no error";
    } catch (const halvex::Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Runtime);
      EXPECT_STREQ(e.what(), fail_schema ? "Arrow stream failed: Input/output error"
                                         : "Arrow stream failed: engine went away");
    }
  }
}

TEST(TableColumns, SetSelectRename) {
  Table t;
  t.set("a", ints({1, 2}));
  const Column& a = t.at("a");
  t.set("b", floats({1, 2}));
  t.set("c", texts({"x", "y"}));
  EXPECT_EQ(a.i64[1], 2);  // references survive additions
  try {
    t.set("d", ints({1}));
    FAIL() << "a column of another length was taken";
  } catch (const halvex::Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Value);
    EXPECT_STREQ(e.what(), "column 'd' has 1 rows, the table 2");
  }
  EXPECT_THROW(t.at("nope"), ColumnNotFound);
  Table s = std::move(t).select({"c", "a"});
  s.rename("a", "z");
  EXPECT_EQ(s.names(), (std::vector<std::string>{"c", "z"}));
  EXPECT_EQ(s.num_rows(), 2u);
}

namespace {

// A minimal two-batch stream of one int32 and one utf8 column (with a null).
struct FakeStream {
  static int schema(ArrowArrayStream*, ArrowSchema* out);
  static int next(ArrowArrayStream* s, ArrowArray* out);
  static const char* error(ArrowArrayStream*) { return nullptr; }
  static void release(ArrowArrayStream* s) { s->release = nullptr; }
  int batch = 0;
};

ArrowSchema child_schemas[2];
ArrowSchema* child_ptrs[2] = {&child_schemas[0], &child_schemas[1]};
void noop_schema(ArrowSchema* s) { s->release = nullptr; }
void noop_array(ArrowArray* a) { a->release = nullptr; }

int FakeStream::schema(ArrowArrayStream*, ArrowSchema* out) {
  child_schemas[0] = ArrowSchema{"i", "donem", nullptr, 2, 0, nullptr, nullptr, noop_schema, nullptr};
  child_schemas[1] = ArrowSchema{"u", "entity_id", nullptr, 2, 0, nullptr, nullptr, noop_schema, nullptr};
  *out = ArrowSchema{"+s", "", nullptr, 0, 2, child_ptrs, nullptr, noop_schema, nullptr};
  return 0;
}

std::int32_t ints0[] = {7, 8, 9}, ints1[] = {10};
std::int32_t offs0[] = {0, 1, 3, 3}, offs1[] = {0, 4};
const char chars0[] = "abb", chars1[] = "cccc";
std::uint8_t valid0 = 0b011;
const void* ib0[] = {nullptr, ints0};
const void* ib1[] = {nullptr, ints1};
const void* sb0[] = {&valid0, offs0, chars0};
const void* sb1[] = {nullptr, offs1, chars1};
ArrowArray kids[2][2];
ArrowArray* kid_ptrs[2][2] = {{&kids[0][0], &kids[0][1]}, {&kids[1][0], &kids[1][1]}};

int FakeStream::next(ArrowArrayStream* s, ArrowArray* out) {
  auto* self = static_cast<FakeStream*>(s->private_data);
  int b = self->batch++;
  if (b >= 2) {
    *out = ArrowArray{};
    return 0;
  }
  std::int64_t n = b == 0 ? 3 : 1;
  kids[b][0] = ArrowArray{n, 0, 0, 2, 0, b == 0 ? ib0 : ib1, nullptr, nullptr, noop_array, nullptr};
  kids[b][1] = ArrowArray{n, b == 0 ? 1 : 0, 0, 3, 0, b == 0 ? sb0 : sb1, nullptr, nullptr, noop_array, nullptr};
  *out = ArrowArray{n, 0, 0, 1, 2, nullptr, kid_ptrs[b], nullptr, noop_array, nullptr};
  return 0;
}

}  // namespace

TEST(ArrowBridge, ImportsBatchesIntoOneTableAndExportsText) {
  FakeStream state;
  ArrowArrayStream s{FakeStream::schema, FakeStream::next, FakeStream::error, FakeStream::release, &state};
  Table t = import_arrow_stream(&s);
  ASSERT_EQ(t.num_rows(), 4u);
  expect_values(t.at("donem"), {7, 8, 9, 10});
  EXPECT_EQ(t.at("donem").int_width, 4);
  const Column& e = t.at("entity_id");
  EXPECT_EQ(e.str(0), "a");
  EXPECT_EQ(e.str(1), "bb");
  EXPECT_FALSE(e.present(2));
  EXPECT_EQ(e.str(3), "cccc");

  ArrowArray arr;
  ArrowSchema sch;
  export_text_column(t.take_column("entity_id"), &arr, &sch);
  EXPECT_STREQ(sch.format, "U");
  EXPECT_EQ(arr.length, 4);
  EXPECT_EQ(arr.null_count, 1);
  arr.release(&arr);
  sch.release(&sch);
}

TEST(WarmBlocks, LargeBlocksAreReusedOnlyWhileOpen) {
  const std::size_t n = (kWarmMinBytes / sizeof(double)) * 2;
  {
    WarmBlocks warm;
    std::size_t before = WarmBlocks::hits();
    { Buffer<double> a(n); }
    // A block of about the same size is served from the one just freed.
    Buffer<std::int64_t> b(n - 7);
    EXPECT_EQ(WarmBlocks::hits(), before + 1);
    b[n - 8] = 5;
    // Much smaller requests never take a large block.
    Buffer<double> c(n);
    { Buffer<double> d(n); }
    before = WarmBlocks::hits();
    Buffer<double> small(n / 2);
    EXPECT_EQ(WarmBlocks::hits(), before);
    // A block handed to another owner is a plain malloc block.
    std::free(c.release());
  }
  // Closed: freed memory goes back, nothing is cached any more.
  std::size_t hits = WarmBlocks::hits();
  { Buffer<double> k(n); }
  Buffer<double> h(n);
  EXPECT_EQ(WarmBlocks::hits(), hits);
}

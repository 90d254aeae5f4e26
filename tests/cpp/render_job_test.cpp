// The render job with a fake host: the context it hands the template, the rows it keeps and
// orders, what it prints, what it writes, and what it leaves alone when a step fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unordered_set>
#include <sstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "common/errors.h"
#include "json/writer.h"
#include "pipeline/render_job.h"

using namespace halvex;
using namespace halvex::pipeline;
namespace fs = std::filesystem;

namespace {

const char* kDocument = R"({
  "meta": {"title": "T", "donemler": ["2025-01", "2025-02"], "risk_donemler": ["2025-02"]},
  "rows": [
    {"muta": 1, "unvan": "Bir", "segment": "KOBI", "son_risk": 1000000, "bolge_kodu": "01", "sube_kodu": "100",
     "qvr2025-01": 400, "qvr2025-02": 410, "r2025-02": 1000000},
    {"muta": 2, "unvan": "Iki", "segment": "MIKRO", "son_risk": 3000000, "bolge_kodu": "02", "sube_kodu": "200",
     "qvr2025-01": 500, "qvr2025-02": 510, "r2025-02": 3000000},
    {"muta": 3, "unvan": "Uc", "segment": "KOBI", "son_risk": 2000000, "bolge_kodu": "01", "sube_kodu": "101",
     "qvr2025-01": 600, "qvr2025-02": 610, "r2025-02": 2000000}
  ],
  "flow_matrix": [[1, 2]],
  "diag_index": {"1": {"2025-02": {"bulgular": [{"kriter": "K1", "grup": "G", "aciklama": "x"}]}},
                 "2": {"2025-02": {"bulgular": [{"kriter": "K2", "grup": "G", "aciklama": "y"}]}}}
})";

std::string value_text(const ContextValue& v) {
  std::string out = v.caller ? std::string("<caller ") + v.caller + ">" : "";
  switch (v.kind) {
    case ContextValue::Kind::None: return out + "None";
    case ContextValue::Kind::Text: return out + v.text;
    case ContextValue::Kind::Integer: return out + std::to_string(v.integer);
    case ContextValue::Kind::Json: return out + json::to_json(v.json, json::WriteOptions{false, false});
    case ContextValue::Kind::Builtin: return out + "<builtin " + v.text + ">";
    case ContextValue::Kind::Chunks: {
      if (!v.chunks) return out + "markers";
      for (size_t i = 0; i < v.chunk_count(); ++i) out += "[" + v.chunk(i) + "]";
      return out;
    }
  }
  return out;
}

class TextPage : public RenderedPage {
 public:
  explicit TextPage(std::string t) : text_(std::move(t)) {}
  std::string_view text() const override { return text_; }

 private:
  std::string text_;
};

// Renders "name=value" lines; everything else answered from plain fields.
class FakeHost : public RenderHost {
 public:
  std::unique_ptr<RenderedPage> render_template(const std::string& path, const Context& ctx) override {
    templates.push_back(path);
    if (fail_render) throw ValueError("template failed");
    names.clear();
    std::string page;
    for (const auto& [name, value] : ctx) {
      names.push_back(name);
      page += name + "=" + value_text(value) + "\n";
    }
    return std::make_unique<TextPage>(page);
  }
  bool has_row_filter() const override { return static_cast<bool>(filter); }
  bool keep_row(DocumentSource&, size_t i) override { return filter(i); }
  void print(const std::string& line) override { printed.push_back(line); }
  std::string template_path(bool compressed) override { return compressed ? "v300.j2" : "page.j2"; }
  std::string js_dir() override { return dir + "/js"; }
  bool sql_admin_only() override { return false; }
  std::optional<json::Value> diag_groups_name(const char*, json::Arena&) override { return std::nullopt; }
  GroupResolver criterion_groups(json::Arena&) override {
    return [](const json::Value&) { return json::Value::null(); };
  }
  bool has_extra() override { return page_mode_text.has_value(); }
  std::optional<json::Value> extra_member(const char* key, json::Arena& arena) override {
    const std::string k = key;
    if (k == "page_mode") {
      const json::Value mode = json::Value::string(arena.copy_string(*page_mode_text));
      return mode_in_a_list ? arena.array({mode}) : mode;
    }
    if (k == "ml_predictions") return arena.array({json::Value::integer(7)});
    if (k == "backtest_firma" && firma) return json::Value::string(arena.copy_string(*firma));
    return std::nullopt;
  }
  void rows_ordered(DocumentSource&, const std::vector<uint32_t>& order) override { ordered = order; }

  std::string dir;
  std::function<bool(size_t)> filter;
  std::optional<std::string> page_mode_text;
  bool mode_in_a_list = false;
  std::optional<std::string> firma;
  bool fail_render = false;
  std::vector<std::string> printed, names, templates;
  std::vector<uint32_t> ordered;
};

class RenderJob : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("render_job_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "json");
    host.dir = dir.string();
    write("json/doc.json", kDocument);
  }
  void TearDown() override { fs::remove_all(dir); }
  void write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }
  std::string read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string doc_path() { return (dir / "json/doc.json").string(); }
  // The value of one context variable in the written page.
  std::string variable(const std::string& page, const std::string& name) {
    size_t at = page.find("\n" + name + "=");
    if (at == std::string::npos) return "<absent>";
    at += name.size() + 2;
    return page.substr(at, page.find('\n', at) - at);
  }

  fs::path dir;
  FakeHost host;
  RenderOptions options{2, 100, 0.0};
};

}  // namespace

TEST_F(RenderJob, StandardPageFromFile) {
  PageResult r = render_standard_page(host, nullptr, doc_path(), std::nullopt, std::nullopt, options);
  EXPECT_TRUE(r.written);
  EXPECT_EQ(r.html_path, dir.string() + "/html/qvr_dashboard.html");  // the default folder is made
  EXPECT_EQ(r.rows, 3u);
  EXPECT_EQ(r.chunks, 2u);
  const std::vector<std::string> expected_names = {
      "donemler", "risk_donemler", "top_n", "meta", "data_chunks", "enumerate", "total_chunks", "total_rows",
      "bolge_list_js", "sube_list_js", "external_link", "risk_birim", "d3_js", "d3_sankey_js", "flow_matrix_js",
      "band_snapshot_js", "diag_index_js", "diag_groups_js", "kriter_aciklama_js", "page_mode",
      "backtest_summary_js", "backtest_firma_js", "ml_predictions_js", "row_slots_js"};
  EXPECT_EQ(host.names, expected_names);
  std::string page = "\n" + read(r.html_path);
  EXPECT_EQ(r.size_bytes, page.size() - 1);
  // Largest son_risk first, two rows per chunk; the caller slots fall back to the job's values.
  std::string chunks = variable(page, "data_chunks");
  EXPECT_LT(chunks.find("\"Iki\""), chunks.find("\"Uc\""));
  EXPECT_LT(chunks.find("\"Uc\""), chunks.find("\"Bir\""));
  // The fake's brackets around two chunk texts, each a JSON array, of three row arrays.
  EXPECT_EQ(std::count(chunks.begin(), chunks.end(), '['), 2 + 2 + 3);
  EXPECT_EQ(variable(page, "meta").rfind("<caller meta>{\"title\":\"T\"", 0), 0u);
  EXPECT_EQ(variable(page, "page_mode"), "<caller page_mode>");
  EXPECT_EQ(variable(page, "external_link"), "<caller external_link>");
  EXPECT_EQ(variable(page, "flow_matrix_js"), "[[1,2]]");
  EXPECT_EQ(variable(page, "ml_predictions_js"), "[]");  // no extra data given
  EXPECT_EQ(variable(page, "row_slots_js").substr(0, 29), "{\"layout\":\"v316\",\"P\":2,\"R\":1,");
  ASSERT_EQ(host.printed.size(), 3u);
  EXPECT_EQ(host.printed[0], "    HTML: " + r.html_path);
  EXPECT_EQ(host.printed[1].find("    Boyut: "), 0u);
  EXPECT_NE(host.printed[1].find("|  3 satır  |  2 chunk"), std::string::npos);
  EXPECT_EQ(host.printed[2], "    Bölge: 2  |  Şube: 3");
  EXPECT_EQ(host.ordered, (std::vector<uint32_t>{1, 2, 0}));
}

TEST_F(RenderJob, FilterKeepsRowsAndTheirDiagnosticsOnly) {
  host.filter = [](size_t i) { return i != 1; };
  host.page_mode_text = "admin";  // the whole index, not group letters
  std::string out = (dir / "page.html").string();
  PageResult r = render_standard_page(host, nullptr, doc_path(), out, std::nullopt, options);
  EXPECT_EQ(r.rows, 2u);
  std::string page = "\n" + read(out);
  EXPECT_EQ(variable(page, "diag_index_js"), R"({"1":{"2025-02":{"bulgular":[{"kriter":"K1","grup":"G"}]}}})");
  EXPECT_EQ(variable(page, "page_mode"), "<caller page_mode>admin");
  EXPECT_EQ(variable(page, "ml_predictions_js"), "[7]");
  EXPECT_EQ(variable(page, "data_chunks").find("Iki"), std::string::npos);
  EXPECT_TRUE(host.ordered.empty());  // a filtered render leaves the caller's rows alone
}

// Only the text "admin" selects the administrator page; sections are page JSON, absent ones
// their defaults.
TEST_F(RenderJob, ExtraDataModeAndSections) {
  std::string out = (dir / "page.html").string();
  auto diag_index_for = [&](std::optional<std::string> mode, bool in_a_list) {
    host.page_mode_text = mode;
    host.mode_in_a_list = in_a_list;
    render_standard_page(host, nullptr, doc_path(), out, std::nullopt, options);
    return variable("\n" + read(out), "diag_index_js");
  };
  const std::string standard = diag_index_for(std::nullopt, false);
  EXPECT_NE(diag_index_for("admin", false), standard);
  EXPECT_EQ(diag_index_for("admin", true), standard);  // ["admin"] is no mode text
  EXPECT_EQ(diag_index_for("Admin", false), standard);

  host.firma = "</script>";
  render_standard_page(host, nullptr, doc_path(), out, std::nullopt, options);
  const std::string page = "\n" + read(out);
  EXPECT_EQ(variable(page, "backtest_firma_js"), "\"\\u003c/script>\"");
  EXPECT_EQ(variable(page, "backtest_summary_js"), "{}");
  EXPECT_EQ(variable(page, "ml_predictions_js"), "[7]");
}

TEST_F(RenderJob, NoPeriodsWritesNothing) {
  write("json/empty.json", R"({"meta": {"donemler": []}, "rows": [{"muta": 1}]})");
  std::string out = (dir / "page.html").string();
  PageResult r = render_standard_page(host, nullptr, (dir / "json/empty.json").string(), out, std::nullopt, options);
  EXPECT_FALSE(r.written);
  EXPECT_EQ(host.printed, std::vector<std::string>{"    [WARN] No periods in data, skipping HTML render"});
  EXPECT_TRUE(host.templates.empty());
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(RenderJob, FailuresLeaveTheExistingPage) {
  std::string out = (dir / "page.html").string();
  write("page.html", "old page");
  host.fail_render = true;
  EXPECT_THROW(render_standard_page(host, nullptr, doc_path(), out, std::nullopt, options), ValueError);
  write("json/norows.json", R"({"meta": {"donemler": ["a"]}})");
  host.fail_render = false;
  try {
    render_standard_page(host, nullptr, (dir / "json/norows.json").string(), out, std::nullopt, options);
    FAIL() << "no KeyError";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "rows");
  }
  write("json/list.json", "[1]");
  EXPECT_THROW(render_standard_page(host, nullptr, (dir / "json/list.json").string(), out, std::nullopt, options),
               TypeError);
  EXPECT_EQ(read(out), "old page");
  EXPECT_TRUE(host.printed.empty());
}

TEST_F(RenderJob, CompressedPage) {
  host.filter = [](size_t i) { return i > 0; };
  std::string out = (dir / "v300.html").string();
  PageResult r = render_compressed_page(host, doc_path(), out, RenderOptions{1, 5, 0.000001});
  EXPECT_EQ(r.rows, 2u);
  EXPECT_EQ(r.chunks, 2u);
  EXPECT_EQ(host.templates, std::vector<std::string>{"v300.j2"});
  const std::vector<std::string> expected_names = {"donemler", "risk_donemler", "top_n", "meta", "data_chunks",
                                                   "enumerate", "total_chunks", "total_rows", "row_slots_js"};
  EXPECT_EQ(host.names, expected_names);
  std::string page = "\n" + read(out);
  EXPECT_EQ(variable(page, "top_n"), "5");
  EXPECT_EQ(variable(page, "meta").rfind("<caller meta>{\"title\":\"T\"", 0), 0u);  // still readable: copied
  ASSERT_EQ(host.printed.size(), 4u);
  EXPECT_EQ(host.printed[0], "    HTML (v300): " + out);
  EXPECT_EQ(host.printed[2].find("    Gzip kazanç: "), 0u);
  EXPECT_EQ(host.printed[3].find("    [WARN] Boyut limiti aşıldı: "), 0u);
}

// A file's diagnostic index in the page's form: kept customers only, administrator-only
// findings withheld, descriptions dropped; what is not a finding array passes unchanged.
TEST(DiagnosticIndex, FileIndexInThePagesForm) {
  const fs::path path = fs::temp_directory_path() / ("halvex_diag_" + std::to_string(::getpid()) + ".json");
  auto index_of = [&](const std::string& index, const std::unordered_set<std::string>* mutas, bool withhold) {
    std::ofstream(path) << R"({"rows": [], "diag_index": )" << index << "}";
    struct Removed { const fs::path& p; ~Removed() { fs::remove(p); } } removed{path};  // also when it throws
    FileDocument doc(path.string(), false);
    json::Arena arena;
    return json::to_json(doc.page_diag_index(mutas, withhold, arena), json::WriteOptions{false, false});
  };
  const std::string index = R"({"1": {"p1": {"bulgular": [{"katman": "SQL", "aciklama": "a"},
      {"katman": "KIK", "aciklama": "b", "k": 1}], "not": "n"},
    "p2": [{"katman": "SQL_DELTA"}, {"katman": "RKD"}], "p3": {"bulgular": {}}, "p4": "t"},
    "2": "x", "3": {"p": []}})";
  const std::unordered_set<std::string> kept{"1", "2"};
  EXPECT_EQ(index_of(index, &kept, true),
            R"({"1":{"p1":{"bulgular":[{"katman":"KIK","k":1}],"not":"n"},)"
            R"("p2":[{"katman":"RKD"}],"p3":{"bulgular":[]},"p4":"t"},"2":"x"})");
  EXPECT_EQ(index_of(index, nullptr, false),
            R"({"1":{"p1":{"bulgular":[{"katman":"SQL"},{"katman":"KIK","k":1}],)"
            R"("not":"n"},"p2":[{"katman":"SQL_DELTA"},{"katman":"RKD"}],"p3":{"bulgular":{}},"p4":"t"},)"
            R"("2":"x","3":{"p":[]}})");
  EXPECT_EQ(index_of("[1]", &kept, true), "[1]");
  EXPECT_EQ(index_of("{}", &kept, true), "{}");
  for (const char* bad : {R"({"1": {"p": [5]}})", R"({"1": {"p": {"bulgular": 5}}})"}) {
    EXPECT_THROW(index_of(bad, nullptr, false), TypeError) << bad;
  }
}

// What render_html hands back: keys in the caller's order; nothing written reads as size 0.
TEST(PageResultMapping, KeysInOrderAndTheirTypes) {
  auto text = [](const PageResult& r, bool compressed) {
    json::Arena arena;
    return json::to_json(r.to_value(compressed, arena), json::WriteOptions{false, false});
  };
  PageResult r{"out/p.html", 3, 1, 2048, true, 12.5};
  EXPECT_EQ(text(r, false), R"({"html_path":"out/p.html","rows":3,"chunks":1,"size_kb":2.0})");
  EXPECT_EQ(text(r, true), R"({"html_path":"out/p.html","rows":3,"chunks":1,"size_kb":2.0,"compression_pct":12.5})");
  r.written = false;
  EXPECT_EQ(text(r, true), R"({"html_path":"out/p.html","rows":3,"chunks":1,"size_kb":0})");
}

// Either page refuses a negative chunk size before it reads or writes anything.
TEST_F(RenderJob, NegativeChunkSizeIsRefused) {
  EXPECT_NO_THROW((RenderOptions{0, 100}.check()));
  const std::string out = (dir / "p.html").string();
  const RenderOptions bad{-5, 100};
  for (bool compressed : {false, true}) {
    try {
      if (compressed) render_compressed_page(host, doc_path(), out, bad);
      else render_standard_page(host, nullptr, doc_path(), out, std::nullopt, bad);
      FAIL() << "a negative chunk size was accepted";
    } catch (const ValueError& e) {
      EXPECT_STREQ(e.what(), "chunk_size must be a positive integer, got -5");
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(host.templates.empty());
  }
}

// A host's resolver may be slow (it calls the caller's code): a text code is asked once.
TEST(RememberGroups, AsksOncePerTextCode) {
  std::vector<std::string> asked;
  GroupResolver resolve = remember_groups([&](const json::Value& k) {
    asked.push_back(json::to_json(k, json::WriteOptions{false, false}));
    return k.is_string() && k.as_string() == "K1" ? json::Value::string("gecikme") : json::Value::null();
  });
  EXPECT_EQ(resolve(json::Value::string("K1")).as_string(), "gecikme");
  EXPECT_TRUE(resolve(json::Value::string("K2")).is_null());
  EXPECT_EQ(resolve(json::Value::string("K1")).as_string(), "gecikme");
  resolve(json::Value::integer(7));
  resolve(json::Value::integer(7));
  EXPECT_EQ(asked, (std::vector<std::string>{R"("K1")", R"("K2")", "7", "7"}));
}

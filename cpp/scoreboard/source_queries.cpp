#include <algorithm>

#include "common/errors.h"
#include "scoreboard/scoreboard.h"

namespace halvex::scoreboard {

namespace {

bool has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

void require(const std::vector<std::string>& names, const char* table, const std::vector<std::string>& wanted) {
  for (const auto& w : wanted)
    if (!has(names, w)) throw ValueError(std::string("table ") + table + " has no column " + w);
}

}  // namespace

SourceQueries source_queries(const SourceColumns& columns, const std::string& rd_column) {
  if (columns.fact_periodic.empty()) throw ValueError("the database holds no table fact_periodic");
  require(columns.fact_periodic, "fact_periodic", {"entity_id", "donem", "qvr_skor", "kombine_risk"});
  SourceQueries q;
  std::string select = "SELECT fp.entity_id, fp.donem, fp.qvr_skor, fp.kombine_risk";
  // Optional columns come under fixed names, so the builder never sees the bank's spelling.
  if (has(columns.fact_periodic, "qvr_kaynak")) select += ", fp.qvr_kaynak";
  if (has(columns.fact_periodic, "risk_degisim")) select += ", fp.risk_degisim";
  if (!rd_column.empty()) {
    if (!has(columns.fact_periodic, rd_column))
      throw ValueError("fact_periodic has no column " + rd_column + " for the second risk series");
    select += ", fp." + quoted(rd_column) + " AS rd_risk";
  }
  const bool dim = !columns.dim_entity.empty() && has(columns.dim_entity, "entity_id");
  if (dim)
    for (const char* c : {"segment", "bolge_kodu", "unvan", "sube_kodu"})
      if (has(columns.dim_entity, c)) select += std::string(", de.") + c;
  q.facts = select + " FROM fact_periodic fp";
  if (dim) q.facts += " LEFT JOIN dim_entity de ON fp.entity_id = de.entity_id";
  q.facts += " ORDER BY fp.entity_id, fp.donem";

  if (!columns.findings.empty()) {
    require(columns.findings, kFindingsTable, {"entity_id", "donem", "katman", "kriter"});
    std::string f = "SELECT entity_id, donem, katman, kriter";
    for (const char* c : {"grup", "deger", "aciklama"})
      if (has(columns.findings, c)) f += std::string(", ") + c;
    q.findings = f + " FROM " + kFindingsTable;
  }
  return q;
}

}  // namespace halvex::scoreboard

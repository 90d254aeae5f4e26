#include "ml/features.h"

namespace halvex::ml {

const char* const kFactQuery =
    "\n        SELECT\n            fp.entity_id, fp.donem,\n            fp.qvr_skor, fp.qvr_kaynak,\n"
    "            fp.kombine_risk, fp.risk_degisim,\n            fp.ykn_izl_flag,\n"
    "            de.segment, de.bolge_kodu\n        FROM fact_periodic fp\n"
    "        LEFT JOIN dim_entity de ON fp.entity_id = de.entity_id\n"
    "        ORDER BY fp.entity_id, fp.donem\n    ";

std::string fact_query(const std::string& filter) {
  std::string q = kFactQuery;
  if (filter.empty()) return q;
  const std::size_t order = q.find("        ORDER BY");
  return q.insert(order, "        WHERE (" + filter + ")\n");
}

const std::vector<std::string> kUnusedFactColumns = {"qvr_kaynak", "risk_degisim"};

namespace {

// (name, label) of the 26 base features, in output order.
const FeatureLabels& base_features() {
  static const FeatureLabels v = {
      {"qvr_score", "Mevcut QVR skoru"},
      {"qvr_lag_1", "Önceki dönem skoru"},
      {"qvr_lag_2", "2 dönem önceki skor"},
      {"qvr_lag_3", "3 dönem önceki skor"},
      {"qvr_delta_1", "Son dönem skor değişimi"},
      {"qvr_delta_3", "Son 3 dönem skor değişimi"},
      {"qvr_max_3", "Son 3 dönem maks skor"},
      {"qvr_mean_3", "Son 3 dönem ort skor"},
      {"qvr_std_3", "Son 3 dönem skor dalgalanması"},
      {"qvr_consec_rise", "Ardışık yükseliş dönem sayısı"},
      {"qvr_above_825_count", "Son 4 dönemde 825+ olan dönem sayısı"},
      {"qvr_above_500_count", "Son 4 dönemde 500+ olan dönem sayısı"},
      {"qvr_band", "QVR bandı"},
      {"risk_current", "Mevcut risk (TL)"},
      {"risk_delta_1", "Risk değişimi (TL)"},
      {"risk_delta_pct", "Risk değişimi (%)"},
      {"risk_mio", "Risk (milyon TL)"},
      {"yi_flag_current", "Mevcut YI flag"},
      {"yi_flag_prev", "Önceki dönem YI flag"},
      {"yi_flag_count_4", "Son 4 dönemde YI flag sayısı"},
      {"was_yi_prev", "Önceki dönem YI miydi"},
      {"seg_ESKK", "Segment: ESKK"},
      {"seg_KOBI", "Segment: KOBİ"},
      {"seg_KUR_TIC", "Segment: Kurumsal-Ticari"},
      {"seg_MIKRO", "Segment: Mikro"},
      {"bolge_kodu", "Bölge kodu"},
  };
  return v;
}

const FeatureLabels& diag_features() {
  static const FeatureLabels v = {
      {"diag_bulgu_sayisi", "EUS kapsam dışı bulgu sayısı"},
      {"diag_katman_cesitlilik", "Teşhis katman çeşitliliği"},
      {"diag_kriter_cesitlilik", "Teşhis kriter çeşitliliği"},
      {"diag_yeni_kriter_sayisi", "Yeni RKD kriter sayısı"},
      {"diag_kik_bulgu", "KIK katmanı bulgu sayısı"},
      {"diag_rkd_bulgu", "RKD katmanı bulgu sayısı"},
      {"diag_sql_diskalma", "SQL kapsam dışı"},
      {"diag_memzuc_aktif", "Memzuc idari takip"},
      {"diag_bulgu_3d_toplam", "Son 3 dönem toplam bulgu"},
      {"diag_bulgu_3d_trend", "Bulgu artış trendi (3 dönem)"},
      {"diag_ilk_bulgu_uzaklik", "İlk bulguden bu yana dönem sayısı"},
      {"diag_katman_degisim", "Katman sayısı değişimi"},
      {"diag_en_agir_katman_kod", "En ağır teşhis katmanı"},
  };
  return v;
}

void append_names(std::vector<std::string>& out, const FeatureLabels& features) {
  for (const auto& [name, label] : features) out.push_back(name);
}

}  // namespace

const std::vector<std::string>& diag_feature_cols() {
  static const std::vector<std::string> v = [] {
    std::vector<std::string> out;
    append_names(out, diag_features());
    return out;
  }();
  return v;
}

const std::vector<std::string>& feature_cols() {
  static const std::vector<std::string> v = [] {
    std::vector<std::string> out;
    append_names(out, base_features());
    append_names(out, diag_features());
    return out;
  }();
  return v;
}

const FeatureLabels& feature_labels() {
  static const FeatureLabels v = [] {
    auto out = base_features();
    out.insert(out.end(), diag_features().begin(), diag_features().end());
    return out;
  }();
  return v;
}

std::int64_t diag_default(const std::string& name) { return name == "diag_en_agir_katman_kod" ? -1 : 0; }

}  // namespace halvex::ml

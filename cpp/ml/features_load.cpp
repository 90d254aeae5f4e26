// Stage 1: score normalisation and row order.
#include <limits>

#include "common/parallel.h"
#include "common/score_bands.h"
#include "ml/features.h"
#include "table/convert.h"
#include "table/sort.h"

namespace halvex::ml {

using namespace halvex::table;

void normalise_and_sort(Table& fp) {
  const Column& skor = fp.at("qvr_skor");
  const std::size_t n = skor.size();
  // "YI" (exactly) is the top of the scale; other text is parsed, junk is
  // missing. The flag history and the label need only whether a score is
  // "YI" and whether it is present: kept as marks, so the loaded scores go.
  Column num = Column::float64(n);
  Column marks = Column::boolean(n);
  const bool text = skor.type() == DType::Text;
  parallel_rows(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      const bool present = skor.present(i);
      const bool yi = text && present && skor.str(i) == "YI";
      marks.b8[i] = static_cast<std::uint8_t>((yi ? kMarkYi : 0) | (present ? kMarkScored : 0));
      num.f64[i] = yi ? kYiScore : numeric_at(skor, i);
    }
  });
  fp.set("qvr_num", std::move(num));
  fp.set("score_marks", std::move(marks));
  (void)fp.take_column("qvr_skor");  // its memory serves the next columns

  // The query already orders the rows: a parallel check then spares the
  // order vector and the identity test over it.
  if (is_sorted_by(fp.at("entity_id"), fp.at("donem"))) return;
  std::vector<std::int64_t> order = stable_sort_indices(fp.at("entity_id"), fp.at("donem"));
  reorder(fp, order.data(), order.size());
}

}  // namespace halvex::ml

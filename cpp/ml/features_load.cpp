// Stage 1: score normalisation and row order.
#include <limits>

#include "ml/features.h"
#include "table/convert.h"
#include "table/parallel.h"
#include "table/sort.h"

namespace halvex::ml {

using namespace halvex::table;

void normalise_and_sort(Table& fp) {
  const Column& skor = fp.at("qvr_skor");
  const std::size_t n = skor.size();
  // "YI" (exactly) is the top of the scale; other text is parsed, junk is
  // missing. The "YI" marks are kept for the flag history and the label.
  Column num = Column::float64(n);
  Column is_yi = Column::boolean(n);
  const bool text = skor.type() == DType::Text;
  parallel_rows(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      bool yi = text && skor.present(i) && skor.str(i) == "YI";
      is_yi.b8[i] = yi;
      num.f64[i] = yi ? 1000.0 : numeric_at(skor, i);
    }
  });
  fp.set("qvr_num", std::move(num));
  fp.set("is_yi", std::move(is_yi));

  // The query already orders the rows: a parallel check then spares the
  // order vector and the identity test over it.
  if (is_sorted_by(fp.at("entity_id"), fp.at("donem"))) return;
  std::vector<std::int64_t> order = stable_sort_indices(fp.at("entity_id"), fp.at("donem"));
  reorder(fp, order.data(), order.size());
}

}  // namespace halvex::ml

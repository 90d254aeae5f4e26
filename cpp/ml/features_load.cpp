// Stage 1: score normalisation and row order.
#include <limits>

#include "ml/features.h"
#include "table/convert.h"
#include "table/parallel.h"
#include "table/sort.h"
#include "table/text_form.h"

namespace halvex::ml {

using namespace halvex::table;

void normalise_and_sort(Table& fp) {
  const Column& skor = fp.at("qvr_skor");
  // "YI" (exactly) is the top of the scale; other text is parsed, junk is missing.
  Column num = to_numeric(skor);
  if (skor.type() == DType::Text) {
    parallel_rows(num.size(), [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i)
        if (skor.present(i) && skor.str(i) == "YI") num.f64[i] = 1000.0;
    });
  }
  fp.set("qvr_num", std::move(num));

  // The query already orders the rows; the sort then only checks that.
  std::vector<std::int64_t> order = stable_sort_indices(fp.at("entity_id"), fp.at("donem"));
  reorder(fp, order);
}

}  // namespace halvex::ml

"""The close-monitoring ("YI") model over the feature matrix of ``build_features``.

    model = train(matrix, horizon=3)          # LightGBM, no look-ahead, calibrated
    scores = model.predict(matrix)            # entity_id, donem, score, prob, rank, reasons
    model.save("model/"); Model.load("model/")
    result = backtest(matrix, horizon=3, origins=6); result.save("out/")
    report.write_report("report.html", model_dir="model/", backtest="out/")  # halvex.ml.model.report
"""

from halvex.ml.model.backtest import DEFAULT_ORIGINS, Backtest, backtest
from halvex.ml.model.lead import periods_to_yi
from halvex.ml.model.model import DEFAULT_REASONS_TOP_N, Model
from halvex.ml.model.population import YI_SCORE
from halvex.ml.model.split import Split, Timeline, split_at, timeline
from halvex.ml.model.train import DEFAULT_HORIZON, train

__all__ = ["Backtest", "DEFAULT_HORIZON", "DEFAULT_ORIGINS", "DEFAULT_REASONS_TOP_N", "Model", "Split",
           "Timeline", "YI_SCORE", "backtest", "periods_to_yi", "split_at", "timeline", "train"]

"""The close-monitoring ("YI") model over the feature matrix of ``build_features``.

    model = train(matrix, horizon=3)          # LightGBM, no look-ahead, calibrated
    scores = model.predict(matrix)            # entity_id, donem, score, prob, rank, reasons
    model.save("model/"); Model.load("model/")
"""

from halvex.ml.model.model import DEFAULT_REASONS_TOP_N, Model
from halvex.ml.model.population import YI_SCORE
from halvex.ml.model.split import Split, Timeline, split_at, timeline
from halvex.ml.model.train import DEFAULT_HORIZON, train

__all__ = ["DEFAULT_HORIZON", "DEFAULT_REASONS_TOP_N", "Model", "Split", "Timeline", "YI_SCORE",
           "split_at", "timeline", "train"]

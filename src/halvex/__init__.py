"""halvex: reporting and modelling back end of the early-warning scoreboard.

Two compiled modules do the work:

- ``halvex.ml.features``: ``build_features(db_path, target_horizon=3)``, the labelled
  feature matrix of the close-monitoring ("YI") model;
- ``halvex.pipeline.vitrum``: ``render_html`` / ``render_html_v300``, the HTML dashboard.
"""

__version__ = "0.1.0"

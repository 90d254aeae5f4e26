"""Model features for the close-monitoring ("YI") model; see ``halvex.ml.features``."""

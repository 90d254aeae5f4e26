"""Dashboard renderer; see ``halvex.pipeline.vitrum``."""

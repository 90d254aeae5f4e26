"""Command-line sub-commands of ``halvex``."""

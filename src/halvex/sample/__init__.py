"""Generators of realistic sample data for the demo, tests and benchmarks."""

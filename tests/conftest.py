"""Shared by every pytest folder: this folder on the import path, so that the tests can import
`oracles` (reference implementations of the renderer's conversions)."""

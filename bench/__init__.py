"""Benchmarks of the native modules against a plain-Python baseline: python -m bench."""

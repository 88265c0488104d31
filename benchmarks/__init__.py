"""Benchmark suite: Corvalex against the tools users reach for instead.

Run ``python -m benchmarks --help`` for the options, and see
``benchmarks/README.md`` for what is measured and how.
"""

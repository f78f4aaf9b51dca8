"""Benchmarks of the native modules against a plain-Python baseline: python -m bench."""

# The modules that importing the assistant loads, in the order their import
# cost is reported.
MODULES = [
    "quillon.validation.credgate",
    "quillon.validation.authentication",
    "quillon.velto_gpt_sdk.promptbook",
    "quillon.velto_gpt_sdk.endpoints",
    "quillon.velto_gpt_sdk.nbassist",
]

"""quillon: a notebook client for the Quillon hosted code-generation service."""

__version__ = "0.1.0"

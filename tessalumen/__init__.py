"""Tessalumen: reproducible image-augmentation pipelines.

The engine lives in the native extension ``_tessalumen``; this package holds
the Python-level tools built on it (the demo among them).
"""

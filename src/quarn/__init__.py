"""quarn: native utilities for test automation (schema validation, file transfer)."""
__version__ = '0.1.0'

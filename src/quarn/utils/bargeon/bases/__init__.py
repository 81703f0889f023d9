"""Base classes of the file-transfer clients (``bargeon``: BargeonBase)."""

"""File-transfer clients: the ``BargeonBase`` class lives in ``bases.bargeon``,
the plugin registry in ``core``."""

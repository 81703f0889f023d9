"""Utilities of the quarn family.

``Bargeon`` is the file-transfer client base, imported on first use so that
importing ``quarn.utils`` (and the schema engine) stays cheap.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # what the lazy attribute below gives, for type checkers
    from .bargeon.bases.bargeon import BargeonBase as Bargeon

__all__ = ['Bargeon']


def __getattr__(name: str) -> Any:
    if name == 'Bargeon':
        from .bargeon.bases.bargeon import BargeonBase
        globals()['Bargeon'] = BargeonBase
        return BargeonBase
    raise AttributeError('module {!r} has no attribute {!r}'.format(__name__, name))


import sys as _sys

if _sys.version_info < (3, 7):  # no module __getattr__ before 3.7
    from .bargeon.bases.bargeon import BargeonBase as Bargeon  # noqa: E402

"""Data structures shared by the quarn family."""

__all__ = ['ListDict']


class ListDict(object):
    """A nested dictionary seen as a flat list of ``(key_path, value)`` entries.

    ``ListDict(d)`` walks ``d`` depth-first, in each dictionary's iteration
    order: a value that is a non-empty ``dict`` is descended into, every other
    value (an empty ``dict`` included) is a leaf whose key path is the tuple of
    keys leading to it.  ``ListDict()`` and ``ListDict(None)`` are empty.
    Values are never copied.
    """

    __slots__ = ('_entries',)

    def __init__(self, mapping=None):
        self._entries = []
        if mapping is None:
            return
        if not isinstance(mapping, dict):
            raise TypeError('ListDict() argument must be a dict or None, not {}'
                            .format(type(mapping).__name__))
        self._flatten(mapping, ())

    def _flatten(self, mapping, prefix):
        for key, value in mapping.items():
            path = prefix + (key,)
            if isinstance(value, dict) and value:
                self._flatten(value, path)
            else:
                self._entries.append((path, value))

    def __iter__(self):
        return iter(self._entries)

    def __len__(self):
        return len(self._entries)

    def __getitem__(self, index):
        return self._entries[index]

    def __repr__(self):
        return 'ListDict({!r})'.format(self._entries)

    def append(self, entry):
        """Adds ``(key_path, value)`` after every existing entry."""
        path, value = entry
        self._entries.append((tuple(path), value))

    def reconstruct(self):
        """Builds new nested dicts holding every entry, applied in order.

        Intermediate dicts are created as needed; a later entry replaces an
        earlier one at the same path, and replaces a non-dict value that
        stands where an intermediate dict is needed.
        """
        result = {}
        made = set()  # ids of the dicts built here: the only ones written to
        for path, value in self._entries:
            if not path:
                continue
            node = result
            for key in path[:-1]:
                child = node.get(key)
                if not (isinstance(child, dict) and id(child) in made):
                    # A caller's dict standing here is copied, never written to.
                    child = dict(child) if isinstance(child, dict) else {}
                    made.add(id(child))
                    node[key] = child
                node = child
            node[path[-1]] = value
        return result

"""Path.missing_from against the recursive expansion it stands for."""
import random

import pytest

from quarn.utils.ordalin import Any, Optional, Path


def unwrap(key):
    return key.schema if type(key) is Optional else key


def reference_missing_from(path, paths):
    # The expansion one wildcard at a time, each replaced by the key a known
    # path has there under a matching prefix (states seen are not repeated:
    # they add nothing new).
    seen = set()

    def expand(elements):
        if not any(isinstance(e, Any) for e in elements):
            return [] if tuple(elements) in paths else [tuple(elements)]
        found = []
        for i, element in enumerate(elements):
            if not isinstance(element, Any):
                continue
            for p in paths:
                if Path(p[:i + 1]) == Path(elements[:i + 1]):
                    new = [unwrap(e) for e in elements]
                    new[i] = p[i]
                    key = tuple(map(id, new))
                    if isinstance(p[i], Any) or key in seen:
                        continue
                    seen.add(key)
                    found.extend(expand(new))
        return found
    return set(expand(list(path)))


KEYS = ['a', 'b', 'c', 1, 2]


@pytest.mark.parametrize('seed', range(200))
def test_missing_from_is_the_recursive_expansion(seed):
    rng = random.Random(seed)
    length = rng.randint(1, 4)
    pattern = tuple(Any() if rng.random() < 0.5 else rng.choice(KEYS) for _ in range(length))
    paths = [tuple(rng.choice(KEYS) for _ in range(rng.randint(1, 5))) for _ in range(rng.randint(0, 6))]
    assert set(Path(pattern).missing_from(paths)) == reference_missing_from(pattern, paths)


def test_many_wildcards_against_many_paths_stay_quick():
    paths = [('r%d' % n,) + ('x',) * 19 for n in range(1000)]
    assert Path((Any(),) * 20).missing_from(paths) == []
    paths.append(('r0', 'y') + ('x',) * 18)
    assert sorted(Path((Any(),) * 20).missing_from(paths)) == sorted(
        ('r%d' % n, 'y') + ('x',) * 18 for n in range(1, 1000))

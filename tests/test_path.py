"""Path: wildcard equality, the tuple's own hash, is_dynamic, missing_from."""
import pytest

from quarn.utils.ordalin import Any, Default, Optional, Path

pytestmark = pytest.mark.usefixtures('code_plans')


class Wild(Any):
    pass


d1, d2 = Default(int, 1), Default(int, 1)


@pytest.mark.parametrize('left, right, equal', [
    (Path((1, Any(), 3)), Path((1, 2, 3)), True),
    (Path((1, 2, 3)), Path((1, Any(), 3)), True),
    (Path((1, Wild())), Path((1, 'x')), True),                 # Any subclasses are wildcards
    (Path(('a',)), Path((Optional('a'),)), True),             # exact Optional is unwrapped
    (Path((Optional(Any()),)), Path(('x',)), True),           # ... before the wildcard test
    (Path((d1,)), Path((d2,)), False),                        # Default is not unwrapped
    (Path((d1,)), Path((d1,)), True),
    (Path((Default('a', 1),)), Path(('a',)), False),
    (Path((1, 2)), Path((1, 2, 3)), False),
    (Path((1, Any())), Path((1,)), False),
    (Path(()), Path(()), True),
    (Path((1, 2)), (1, 2), False),                            # never equals a plain tuple
    ((1, 2), Path((1, 2)), False),
    (Path((1, 2)), [1, 2], False),
])
def test_equality(left, right, equal):
    assert (left == right) is equal


def test_eq_never_returns_not_implemented_and_ne_is_the_tuples():
    assert Path((1,)).__eq__((1,)) is False
    assert Path((1,)).__eq__(object()) is False
    # != is the tuple's own comparison: element-wise, no wildcards.
    assert (Path((1, Any())) != Path((1, 2))) is True
    assert (Path((1, 2)) != Path((1, 2))) is False


@pytest.mark.parametrize('elements', [(), (1, 2), ('a', Optional('b')), (Any(), 'x')])
def test_hash_is_the_tuples_and_slices_are_plain_tuples(elements):
    p = Path(elements)
    assert hash(p) == hash(tuple(elements))
    assert {p: 1}[p] == 1
    assert type(p[:1]) is tuple and isinstance(p, tuple) and len(p) == len(elements)


@pytest.mark.parametrize('elements, dynamic', [
    ((), False), ((1, 2), False), ((Optional('a'),), False), ((Optional(Any()),), False),
    ((1, Any()), True), ((Wild(),), True),
])
def test_is_dynamic(elements, dynamic):
    assert Path(elements).is_dynamic() is dynamic


opt_x = Optional('x')


@pytest.mark.parametrize('elements, paths, expected', [
    ((1, Any(), 2), ((1, 2, 3), (2, 3, 4)), [(1, 2, 2)]),
    ((1, Any(), 2), ((1, 2, 2),), []),
    ((Any(), Any()), [('a', 'x'), ('b', 'y')], [('a', 'y'), ('b', 'x')]),   # cross combinations
    ((Any(), Optional('x')), [('a', 'y')], [('a', 'x')]),                  # unwrapped in expansions
    ((opt_x,), [], [(opt_x,)]),                                             # kept when not dynamic
    ((opt_x,), [(opt_x,)], []),
    ((Any(), 'x'), [], []),
    ((Any(), 'x'), [('a',), ('b', 'y', 'z'), ('b', 'q')], [('a', 'x'), ('b', 'x')]),
    ((Any(),), [('a',)], []),
    (('a', 'b'), [('a', 'b')], []),
    (('a', 'b'), [], [('a', 'b')]),
])
def test_missing_from(elements, paths, expected):
    result = Path(elements).missing_from(paths)
    assert isinstance(result, list) and all(type(m) is tuple for m in result)
    assert sorted(result, key=repr) == sorted(expected, key=repr)
    assert len(set(result)) == len(result)


def test_missing_from_accepts_an_iterator_and_keyword():
    assert Path((Any(), 1)).missing_from(paths=iter([('a', 2)])) == [('a', 1)]


class Touchy(object):
    def __eq__(self, other):
        raise ValueError('no comparing')

    __ne__ = __eq__

    __hash__ = object.__hash__


def test_comparison_errors_propagate():
    with pytest.raises(ValueError):
        Path((Touchy(),)) == Path(('a',))
    with pytest.raises(ValueError):
        Path((Any(), Touchy())).missing_from([('a', 'b'), ('c',)])


def test_wildcard_keys_among_the_known_paths_end():
    # An Any() standing in a known path lends itself back; that expansion is
    # done once instead of recursing without end.
    assert Path((Any(), 1)).missing_from([(Any(), 2)]) == []

"""The schema exception classes and ListDict."""
import pytest

from quarn.datastructures import ListDict
from quarn.utils import exceptions as ex


@pytest.mark.parametrize('cls, args, attrs, text', [
    (ex.SchemaError, ('boom',), {'message': 'boom'}, 'boom'),
    (ex.SchemaTypeError, (['a', 'b'], int, 'x'), {'path': ['a', 'b'], 'schema': int, 'data': 'x'},
     "at ['a', 'b']: expected <class 'int'>, got 'x'"),
    (ex.SchemaValueError, ([], 1, 2), {'schema': 1, 'data': 2}, 'at []: expected 1, got 2'),
    (ex.SchemaClassError, ([], len, 3, TypeError('t')), {'schema': len, 'data': 3},
     "at []: <built-in function len> raised {!r} for 3".format(TypeError('t'))),
    (ex.SchemaMissingKeyError, (['x'], ['a', 'b']), {'missing': ['a', 'b']},
     "at ['x']: missing keys a, b"),
    (ex.SchemaUnsupportedKeyError, ([], {'b'}), {'wrong_keys': {'b'}}, "at []: unsupported keys {'b'}"),
    (ex.SchemaFallbackError, (('a',), {}), {'fallback': ('a',), 'data': {}},
     "fallback source ('a',) not found in the data"),
    (ex.SchemaFallbackLoopError, (('a',), ('b',)), {'fallback': ('a',), 'path': ('b',)},
     "fallback at ('b',) to ('a',) forms a loop"),
])
def test_exception_args_attributes_and_text(cls, args, attrs, text):
    err = cls(*args)
    assert err.args == args
    assert isinstance(err, ex.SchemaError) and isinstance(err, Exception)
    for name, value in attrs.items():
        assert getattr(err, name) == value
    assert str(err) == text


def test_exception_text_with_unexpected_arguments():
    assert str(ex.SchemaTypeError('only a message')) == 'only a message'


def test_listdict_flattens_depth_first():
    empty = {}
    leaf = object()
    data = {'a': {'b': 1, 'c': {'d': leaf}}, 'e': empty, 'f': [1]}
    ld = ListDict(data)
    assert list(ld) == [(('a', 'b'), 1), (('a', 'c', 'd'), leaf), (('e',), empty), (('f',), [1])]
    assert len(ld) == 4 and ld[1] == (('a', 'c', 'd'), leaf) and ld[1][1] is leaf
    assert ld[2][1] is empty


@pytest.mark.parametrize('arg', [None])
def test_listdict_empty(arg):
    assert list(ListDict()) == [] and list(ListDict(arg)) == []
    assert ListDict().reconstruct() == {}


@pytest.mark.parametrize('arg', [[], 'x', 1, (('a',), 1)])
def test_listdict_rejects_non_dicts(arg):
    with pytest.raises(TypeError):
        ListDict(arg)


def test_reconstruct_applies_entries_in_order():
    ld = ListDict({'a': {'b': 1}})
    ld.append((('a', 'c'), 2))
    ld.append((('x', 'y', 'z'), 3))
    ld.append((('a', 'b'), 4))
    assert ld.reconstruct() == {'a': {'b': 4, 'c': 2}, 'x': {'y': {'z': 3}}}


def test_reconstruct_replaces_a_leaf_where_a_dict_is_needed():
    ld = ListDict({'a': 1})
    ld.append((('a', 'b'), 2))
    assert ld.reconstruct() == {'a': {'b': 2}}


def test_reconstruct_never_writes_to_the_callers_dicts():
    inner = {}
    data = {'a': inner}
    ld = ListDict(data)
    ld.append((('a', 'b'), 1))
    assert ld.reconstruct() == {'a': {'b': 1}}
    assert inner == {} and data == {'a': {}}

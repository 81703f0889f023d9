"""dict subclasses as data and as schema: the walk iterates, reads items and
measures them through the subclass, and always returns a plain dict."""
import collections
import types

import pytest

from quarn.utils.exceptions import SchemaMissingKeyError, SchemaTypeError, SchemaUnsupportedKeyError
from quarn.utils.ordalin import Any, Optional, Schema

pytestmark = pytest.mark.usefixtures('code_plans')


class Reversed(dict):
    def __iter__(self):
        return reversed(list(dict.__iter__(self)))


class Hiding(dict):
    """Iterates over the keys that do not start with an underscore."""

    def __iter__(self):
        return (k for k in dict.__iter__(self) if not str(k).startswith('_'))


class Scaled(dict):
    def __getitem__(self, key):
        return dict.__getitem__(self, key) * 10


class Empty(dict):
    def __len__(self):
        return 0


class EveryKey(dict):
    def __contains__(self, key):
        return True


class RaisingIter(dict):
    def __iter__(self):
        raise OSError('iter')


# -- as data --------------------------------------------------------------------------

@pytest.mark.parametrize('data', [
    collections.OrderedDict([('b', 1), ('a', 2)]),
    collections.defaultdict(int, b=1, a=2),
    collections.Counter(b=1, a=2),
])
def test_standard_subclasses_as_data_give_a_plain_dict(data):
    result = Schema({str: int}).validate(data, False)
    assert type(result) is dict and result == {'b': 1, 'a': 2} and list(result) == ['b', 'a']


def test_defaultdict_data_is_not_grown_by_the_walk():
    data = collections.defaultdict(list, a=[1])
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({'a': list, 'b': list}).validate(data, False)
    assert info.value.args == ([], ['b'])
    assert dict(data) == {'a': [1]}


def test_data_iteration_order_comes_from_its_iter():
    assert list(Schema({Any(): int}).validate(Reversed(a=1, b=2, c=3), False)) == ['c', 'b', 'a']


def test_data_items_are_read_through_its_getitem():
    assert Schema({str: int}).validate(Scaled(a=1, b=2), False) == {'a': 10, 'b': 20}


def test_keys_hidden_from_iteration_are_neither_walked_nor_reported():
    data = Hiding(a=1, _secret='not an int')
    # The walk never sees '_secret'; the result is shorter than the data, but
    # the set of the data's keys (again by iteration) is covered.
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema({'a': int, Optional('_secret'): int}).validate(data, False)
    assert info.value.args == ([], set())


def test_data_size_comes_from_its_len():
    assert Schema({'a': int}).validate(Empty(a=1, b=2), False) == {'a': 1}


def test_raising_iteration_of_the_data_propagates():
    with pytest.raises(OSError, match='iter'):
        Schema({str: int}).validate(RaisingIter(a=1), False)


def test_nested_subclass_values_of_a_dict_type_schema_are_kept():
    inner = collections.OrderedDict(x=1)
    result = Schema({'a': dict, 'b': {'c': int}}).validate(
        collections.OrderedDict([('a', inner), ('b', collections.OrderedDict(c=1))]), False)
    assert result['a'] is inner
    assert type(result['b']) is dict


@pytest.mark.parametrize('data', [types.MappingProxyType({'a': 1}), [('a', 1)], None])
def test_mappings_that_are_not_dicts_are_type_errors(data):
    schema = {'a': int}
    with pytest.raises(SchemaTypeError) as info:
        Schema(schema).validate(data, False)
    assert info.value.args == ([], schema, data)


# -- as schema ------------------------------------------------------------------------

def test_ordered_dict_schema_keys_keep_their_order_within_a_priority():
    schema = collections.OrderedDict([(Any(), str), (int, int), (str, int), (Optional('o'), str)])
    result = Schema(schema).validate({6.5: 'y', 'a': 1, 5: 2}, False)
    assert list(result.items()) == [(6.5, 'y'), ('a', 1), (5, 2)]
    with pytest.raises(SchemaTypeError) as info:
        Schema(schema).validate({'o': 'x', 5: 1}, False)    # str is tried before Optional('o')
    assert info.value.args == (['o'], int, 'x')


def test_defaultdict_schema_is_not_grown_by_lookups():
    schema = collections.defaultdict(lambda: int, a=str)
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema(schema).validate({'a': 'x', 'b': 1}, False)
    assert info.value.args == ([], {'b'})
    assert dict(schema) == {'a': str}


def test_schema_keys_come_from_its_iteration():
    schema = Hiding(a=int, _b=int)
    # '_b' is never required, since the schema's iteration hides it; a data
    # key '_b' is still a direct hit through the schema's membership test,
    # which puts it into the coverage but not into the required set.
    assert Schema(schema).validate({'a': 1}, False) == {'a': 1}
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema(schema).validate({'a': 1, '_b': 2}, False)
    assert info.value.args == ([], [])
    with pytest.raises(SchemaUnsupportedKeyError):
        Schema(schema).validate({'a': 1, 'c': 2}, False)


def test_schema_values_come_from_its_getitem():
    class AllStrings(dict):
        def __getitem__(self, key):
            return str
    assert Schema(AllStrings(a=int)).validate({'a': 'x'}, False) == {'a': 'x'}


def test_schema_membership_comes_from_its_contains():
    with pytest.raises(KeyError) as info:
        Schema(EveryKey(a=int)).validate({'b': 1}, False)
    assert info.value.args == ('b',)


def test_reversed_schema_decides_which_key_matches_first():
    def same(key):
        return key
    schema = Reversed([(str, int), (same, str)])
    # Reversed iteration tries the callable key before str; in dict order
    # str would match first and 'same' would be missing.
    with pytest.raises(SchemaTypeError) as info:
        Schema(schema).validate({'a': 1}, False)
    assert info.value.args == (['a'], str, 1)

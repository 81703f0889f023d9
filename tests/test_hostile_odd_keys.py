"""Odd keys: NaN, None, tuples, bytes, very long strings, keys that hash
alike but differ, keys equal to everything, keys that collapse."""
import pytest

from quarn.utils.exceptions import SchemaMissingKeyError, SchemaUnsupportedKeyError, SchemaValueError
from quarn.utils.ordalin import Any, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')

NAN = float('nan')


def test_the_same_nan_object_is_a_direct_hit():
    result = Schema({NAN: int}).validate({NAN: 1}, False)
    assert list(result.items()) == [(NAN, 1)] and next(iter(result)) is NAN


def test_another_nan_object_matches_no_key():
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({NAN: int}).validate({float('nan'): 1}, False)
    assert info.value.args == ([], ['nan'])


def test_nan_value_never_equals_itself():
    with pytest.raises(SchemaValueError) as info:
        Schema(NAN).validate(NAN, False)
    assert len(info.value.args) == 3 and info.value.args[0] == []
    assert info.value.args[1] is NAN and info.value.args[2] is NAN
    with pytest.raises(Exception) as info:
        Or(NAN).validate(NAN)
    assert info.value.args == ('Schema  (float) nan does not match nan',)


def test_nan_key_under_a_type_key():
    key = float('nan')
    result = Schema({float: int}).validate({key: 1}, False)
    assert next(iter(result)) is key


@pytest.mark.parametrize('schema, data, expected', [
    ({None: int}, {None: 1}, {None: 1}),
    ({Optional(None): int}, {None: 1}, {None: 1}),
    ({Optional(None): int}, {}, {}),
    ({('a', 1): int}, {('a', 1): 2}, {('a', 1): 2}),
    ({tuple: int}, {(1, (2, 3)): 4, (): 5}, {(1, (2, 3)): 4, (): 5}),
    ({b'a': int, 'a': str}, {b'a': 1, 'a': 'x'}, {b'a': 1, 'a': 'x'}),
    ({bytes: int}, {b'\x00\xff': 1}, {b'\x00\xff': 1}),
    ({Any(): None}, {None: None}, {None: None}),
    ({frozenset([1]): int}, {frozenset([1]): 2}, {frozenset([1]): 2}),
])
def test_odd_keys_validate(schema, data, expected):
    assert Schema(schema).validate(data, False) == expected


@pytest.mark.parametrize('schema, data, missing', [
    ({None: int}, {}, ['None']),
    ({('a', 1): int}, {('a', 2): 1}, ["('a', 1)"]),
    ({b'a': int}, {'a': 1}, ["b'a'"]),           # bytes and str never compare equal
    ({'a': int}, {b'a': 1}, ['a']),
    ({str: int}, {b'a': 1}, ["<class 'str'>"]),
])
def test_odd_keys_missing(schema, data, missing):
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema(schema).validate(data, False)
    assert info.value.args == ([], missing)


def test_very_long_string_keys():
    long_key = 'k' * 1000000
    assert Schema({long_key: int}).validate({'k' * 1000000: 1}, False) == {long_key: 1}
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({long_key: int}).validate({long_key + 'x': 1}, False)
    assert info.value.args == ([], [long_key])
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema({Optional(long_key): int}).validate({long_key[:-1]: 1}, False)
    assert info.value.args == ([], {long_key[:-1]})


class SameHash(object):
    """Hashes like the string 'a'; equal only to SameHash with the same name."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash('a')

    def __eq__(self, other):
        return isinstance(other, SameHash) and other.name == self.name

    def __repr__(self):
        return 'SameHash({!r})'.format(self.name)


def test_keys_hashing_alike_but_unequal():
    one, two = SameHash('1'), SameHash('2')
    assert Schema({one: int, two: str, 'a': bool}).validate(
        {SameHash('2'): 'x', 'a': True, SameHash('1'): 1}, False) == {two: 'x', 'a': True, one: 1}
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({'a': int}).validate({SameHash('a'): 1}, False)
    assert info.value.args == ([], ['a'])


class EqualToAll(object):
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def test_key_equal_to_every_schema_key_takes_the_first():
    key = EqualToAll()
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({'a': int, 'b': str}).validate({key: 1}, False)
    assert info.value.args == ([], ['b'])
    result = Schema({'a': int}).validate({key: 1}, False)
    assert list(result) == [key] and next(iter(result)) is key      # stored under the data key


def test_equal_keys_of_other_types_keep_the_data_key():
    result = Schema({1: int}).validate({True: 5}, False)
    assert list(result) == [True] and type(next(iter(result))) is bool
    result = Schema({1: int}).validate({1.0: 5}, False)
    assert type(next(iter(result))) is float


def test_converted_keys_collapsing_onto_one():
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema({Use(str.lower): int}).validate({'A': 1, 'a': 2}, False)
    assert info.value.args == ([], {'A'})


def test_converted_key_that_cannot_be_hashed():
    with pytest.raises(TypeError):
        Schema({Use(lambda k: [k]): int}).validate({'a': 1}, False)


def test_schema_objects_as_data_keys():
    marker = Any()
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({str: int}).validate({marker: 1}, False)
    assert info.value.args == ([], ["<class 'str'>"])
    assert next(iter(Schema({Any(): int}).validate({marker: 1}, False))) is marker

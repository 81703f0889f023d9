"""Schema.iter_errors: every violation of the data, each as validate would
raise it for that element alone, the first one validate's own error."""
import sys

import pytest

from quarn.utils import ordalin
from quarn.utils.exceptions import (SchemaClassError, SchemaError, SchemaFallbackError,
                                    SchemaMissingKeyError, SchemaTypeError,
                                    SchemaUnsupportedKeyError, SchemaValueError)
from quarn.utils.ordalin import And, Any, Default, Fallback, Optional, Or, Schema, Use


@pytest.fixture(params=[True, False], ids=['fast', 'general'])
def walk(request):
    was = ordalin._fast_walk(request.param)
    yield
    ordalin._fast_walk(was)


def refuse(value):
    raise ValueError('refused')


def inner_validation(value):
    return Schema({'deep': int}).validate(value)


def summary(errors):
    return [(type(e), e.location) for e in errors]


DEVICE = {'hostname': str, 'port': int,
          'mgmt': {'vrf': str, 'user': str, Optional('timeout'): int},
          Optional('tags'): {str: str}}
INTERFACES = {'interfaces': {Any(): {'mtu': Use(int)}}}

# (schema, data, [(class, location) of every error, in order])
CASES = [
    pytest.param(DEVICE,
                 {'hostname': 1, 'port': 'ssh', 'tags': {'a': 1, 'b': 'ok', 'c': 2},
                  'mgmt': {'vrf': 5, 'odd': 0}, 'extra': True},
                 [(SchemaTypeError, ('hostname',)), (SchemaTypeError, ('port',)),
                  (SchemaTypeError, ('tags', 'a')), (SchemaTypeError, ('tags', 'c')),
                  (SchemaTypeError, ('mgmt', 'vrf')), (SchemaMissingKeyError, ('mgmt',)),
                  (SchemaUnsupportedKeyError, ('mgmt',)), (SchemaUnsupportedKeyError, ())],
                 id='nested-values-missing-unsupported'),
    pytest.param({'a': {'b': int}, 'c': int}, {'c': 'x'},
                 [(SchemaTypeError, ('c',)), (SchemaMissingKeyError, ())], id='missing-after-values'),
    pytest.param({'a': {'b': int}}, {'a': 5}, [(SchemaTypeError, ('a',))], id='not-a-dict-below'),
    pytest.param(INTERFACES,
                 {'interfaces': {'Gi0/0': {'mtu': '1500'}, 'Gi0/1': {'mtu': 'x'},
                                 'Gi0/2': {'mtu': '9000'}, 'Gi0/3': {'mtu': 'y', 'speed': 1}}},
                 [(SchemaError, ('interfaces', 'Gi0/1', 'mtu')), (SchemaError, ('interfaces', 'Gi0/3', 'mtu')),
                  (SchemaUnsupportedKeyError, ('interfaces', 'Gi0/3'))],
                 id='values-under-any-keys'),
    # An Or is one error, whatever its dict alternatives met; nothing of
    # theirs comes out, and the walk goes on after it.
    pytest.param({'x': Or({'p': {'q': int}}, {'r': int}), 'y': {'z': int}},
                 {'x': {'p': {'q': 'bad'}, 'r': 's'}, 'y': {'z': 'bad'}},
                 [(SchemaError, ('x',)), (SchemaTypeError, ('y', 'z'))], id='or-with-dict-alternatives'),
    pytest.param({'x': Or({'p': {'q': int}}, {'r': int}), 'y': {'z': int}},
                 {'x': {'r': 1}, 'y': {'z': 'bad'}}, [(SchemaTypeError, ('y', 'z'))],
                 id='or-that-took-its-second-alternative'),
    # Other wrappers are one error too, located where their own walk failed.
    pytest.param({'a': Optional({'b': int, 'c': int}), 'd': And({'e': int, 'f': int})},
                 {'a': {'b': 'x', 'c': 'y'}, 'd': {'e': 'x', 'f': 'y'}},
                 [(SchemaTypeError, ('a', 'b')), (SchemaTypeError, ('d', 'e'))], id='optional-and-and'),
    pytest.param({'a': Schema({'b': int, 'c': int}), 'd': int}, {'a': {'b': 'x', 'c': 'y'}, 'd': 'z'},
                 [(SchemaTypeError, ('a', 'b')), (SchemaTypeError, ('d',))], id='nested-schema-object'),
    pytest.param({'outer': Use(inner_validation), 'n': refuse}, {'outer': {'deep': 'x'}, 'n': 1},
                 [(SchemaTypeError, ('outer', 'deep')), (SchemaClassError, ('n',))], id='callables'),
    # The first schema key that takes a data key decides: str takes 'o'.
    pytest.param({str: int, Optional('o'): {'v': int}}, {'a': 'x', 'o': {'v': 'y'}, 'b': 2, 'c': 'z'},
                 [(SchemaTypeError, ('a',)), (SchemaTypeError, ('o',)), (SchemaTypeError, ('c',))],
                 id='type-key-before-optional-key'),
    pytest.param({Optional('o'): {'v': int}, Any(): {'w': int}}, {'z': {'w': 'x'}, 'o': {'v': 'y'}},
                 [(SchemaTypeError, ('z', 'w')), (SchemaTypeError, ('o', 'v'))],
                 id='optional-and-any-keys-in-data-order'),
    pytest.param({Use(int): {'v': int}}, {'1': {'v': 'x'}, '2': {'v': 'y'}},
                 [(SchemaTypeError, ('1', 'v')), (SchemaTypeError, ('2', 'v'))], id='converted-keys'),
    pytest.param([int], [1], [(SchemaValueError, ())], id='not-a-dict-schema'),
]


@pytest.mark.parametrize('schema, data, expected', CASES)
def test_every_error_in_walk_order_with_its_location(walk, schema, data, expected):
    errors = list(Schema(schema).iter_errors(data))
    assert [(cls, location) for cls, location in summary(errors)] == expected
    assert all(isinstance(e, cls) for e, (cls, _) in zip(errors, expected))


def same_error(a, b):
    notes = (getattr(a, '__notes__', None), getattr(b, '__notes__', None))
    return (type(a), repr(a.args), str(a), getattr(a, 'path', None), a.location, notes[0]) == \
        (type(b), repr(b.args), str(b), getattr(b, 'path', None), b.location, notes[1])


@pytest.mark.parametrize('schema, data, expected', CASES)
def test_the_first_error_is_the_one_validate_raises(walk, schema, data, expected):
    with pytest.raises(SchemaError) as info:
        Schema(schema).validate(data)
    first = next(Schema(schema).iter_errors(data))
    assert same_error(first, info.value), (first, info.value)
    if sys.version_info >= (3, 11) and first.location:
        assert first.__notes__ == ['location in the data: {!r}'.format(first.location)]


@pytest.mark.parametrize('schema, data', [
    (DEVICE, {'hostname': 'r1', 'port': 22, 'mgmt': {'vrf': 'm', 'user': 'u'}, 'tags': {'a': 'b'}}),
    (INTERFACES, {'interfaces': {'Gi0/0': {'mtu': '1500'}}}),
    ({'x': Or({'p': {'q': int}}, {'r': int})}, {'x': {'r': 1}}),
    ({Optional('a'): refuse}, {}),
    ({}, {}),
    (int, 1),
])
def test_valid_data_gives_nothing(walk, schema, data):
    errors = Schema(schema).iter_errors(data)
    assert iter(errors) is errors
    assert list(errors) == []


FALLBACK = {'hostname': str, 'mgmt': {'user': Fallback(str, 'hostname'), 'port': Default(int, 22)},
            'b': int}


@pytest.mark.parametrize('data, expected', [
    # The default and the fallback fill the keys in: they are not missing,
    # and the fallback's copy is checked where it landed.
    ({'hostname': 5, 'mgmt': {}, 'b': 'y'},
     [(SchemaTypeError, ('hostname',)), (SchemaTypeError, ('mgmt', 'user')), (SchemaTypeError, ('b',))]),
    ({'hostname': 'r1', 'mgmt': {'port': 'x'}}, [(SchemaTypeError, ('mgmt', 'port')), (SchemaMissingKeyError, ())]),
    # A fallback whose source is absent: that error alone.
    ({'mgmt': {'port': 'x'}, 'b': 'y'}, [(SchemaFallbackError, ())]),
])
def test_defaults_and_fallbacks_are_applied_first(walk, data, expected):
    errors = list(Schema(FALLBACK).iter_errors(data))
    assert summary(errors) == expected
    with pytest.raises(SchemaError) as info:
        Schema(FALLBACK).validate(data)
    assert same_error(errors[0], info.value)


class Raising(Schema):
    """A schema object whose validate raises the exception class it was given."""

    def validate(self, data, top=False):
        raise self.schema('raised by validate')


class Interrupting(object):
    def __init__(self, exc):
        self.exc = exc

    def __call__(self, value):
        raise self.exc


def deep(levels):
    schema, data = int, 'x'
    for _ in range(levels):
        schema, data = {'k': schema}, {'k': data}
    return schema, data


# Each after an error already collected.
@pytest.mark.parametrize('make, raised', [
    (lambda: ({'a': int, 'b': Interrupting(KeyboardInterrupt())}, {'a': 'x', 'b': 1}), KeyboardInterrupt),
    (lambda: ({'a': int, 'b': {'c': Use(Interrupting(MemoryError()))}}, {'a': 'x', 'b': {'c': 1}}), MemoryError),
    (lambda: ({'a': int, 'b': {'c': Raising(TypeError)}}, {'a': 'x', 'b': {'c': 1}}), TypeError),
    (lambda: ({'a': int, 'b': deep(100000)[0]}, {'a': 'x', 'b': deep(100000)[1]}), RecursionError),
])
def test_errors_that_are_not_schema_errors_propagate(walk, make, raised):
    schema, data = make()
    with pytest.raises(raised):
        list(Schema(schema).iter_errors(data))


class Wrapping(Schema):
    """A subclass whose validate is its own."""

    def validate(self, data, top=True):
        return Schema(self.schema).validate(data, top)


@pytest.mark.parametrize('schema, data', [
    (Or({'a': int}, {'b': int}), {'a': 'x', 'b': 'y'}),
    (Wrapping({'a': int, 'b': int}), {'a': 'x', 'b': 'y'}),
    (Use(int), 'x'),
])
def test_a_class_with_its_own_validate_gives_its_one_error(schema, data):
    with pytest.raises(SchemaError) as info:
        schema.validate(data)
    errors = list(schema.iter_errors(data))
    assert len(errors) == 1
    assert (type(errors[0]), repr(errors[0].args), str(errors[0])) == \
        (type(info.value), repr(info.value.args), str(info.value))


def test_data_changed_by_a_callable_during_the_walk(walk):
    data = {'a': 'x', 'b': None, 'c': 'y', 'd': {'e': 1}}

    def change(value):
        data.update(c=5, d={'e': 'w'})
        return value

    schema = {'a': int, 'b': change, 'c': int, 'd': {'e': int}}
    errors = list(Schema(schema).iter_errors(data))
    # The walk reads the values as they are when it comes to them.
    assert summary(errors) == [(SchemaTypeError, ('a',)), (SchemaTypeError, ('d', 'e'))]


@pytest.mark.parametrize('schema, data', [
    (DEVICE, {'hostname': 1, 'port': 'ssh', 'mgmt': {'vrf': 5, 'odd': 0}, 'extra': True}),
    (INTERFACES, {'interfaces': {'Gi0/0': {'mtu': '1500'}, 'Gi0/1': {'mtu': 'x'}}}),
    (FALLBACK, {'mgmt': {}}),
    ({'a': int, 'b': Raising(TypeError)}, {'a': 'x', 'b': 1}),
])
def test_no_leak(walk, schema, data):
    from leakcheck import assert_no_leak

    def block():
        try:
            for error in Schema(schema).iter_errors(data):
                del error
        except TypeError:
            pass

    assert_no_leak(block, iterations=100, watch=[data, schema])

"""Defaults: collect_defaults, apply_defaults and their use by validate."""
import copy
import gc
import tracemalloc
from collections import OrderedDict

import pytest

from quarn.utils.exceptions import SchemaMissingKeyError, SchemaTypeError
from quarn.utils.ordalin import And, Any, Default, Fallback, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')

VRF = {'vrf': {Any(): {'interfaces': {Any(): {'status': str, 'mtu': Default(int, 1500)}}}}}


@pytest.mark.parametrize('schema, data, expected', [
    ({'a': Default(int, 1), 'b': str}, {'b': 'x'}, {'a': 1, 'b': 'x'}),
    ({'a': Default(int, 1)}, {'a': None}, {'a': 1}),
    ({'a': Default(int, 1)}, {'a': 5}, {'a': 5}),
    ({Any(): {'port': Default(int, 22), 'host': str}},
     {'r1': {'host': 'x'}, 'r2': {'host': 'y', 'port': 23}},
     {'r1': {'host': 'x', 'port': 22}, 'r2': {'host': 'y', 'port': 23}}),
    ({Any(): {'port': Default(int, 22), 'host': str}}, {}, {}),
    ({Any(): Default(int, 1)}, {}, {}),                                # wildcard last: nothing
    ({'a': {'b': Default(int, 1)}}, {'a': {}}, {'a': {'b': 1}}),     # empty dict receives
    ({'a': {'b': Default(int, 1)}}, {}, {'a': {'b': 1}}),
    ({'a': Default(dict, {'x': 1})}, {'a': {'y': 2}}, {'a': {'y': 2, 'x': 1}}),  # merged key-wise
    ({'a': Default(dict, {})}, {}, {'a': {}}),
    # Optional keys on the way are unwrapped.
    ({Optional('a'): {'b': Default(int, 1)}}, {}, {'a': {'b': 1}}),
    ({Optional('a'): {'b': Default(int, 1), 'c': int}}, {'a': {'c': 2}}, {'a': {'c': 2, 'b': 1}}),
    # No interface is invented under the other VRF.
    (VRF, {'vrf': {'v1': {'interfaces': {'i1': {'status': 'up'}}},
                   'v2': {'interfaces': {'i2': {'status': 'up', 'mtu': 9000}}}}},
     {'vrf': {'v1': {'interfaces': {'i1': {'status': 'up', 'mtu': 1500}}},
              'v2': {'interfaces': {'i2': {'status': 'up', 'mtu': 9000}}}}}),
])
def test_validate_completes_missing_defaults(schema, data, expected):
    assert Schema(schema).validate(data) == expected


@pytest.mark.parametrize('schema, data', [
    ({'a': Default(int, 1)}, {'a': {'x': 1}}),          # a dict under the default's path
    ({'a': {'b': Default(int, 1)}}, {'a': 5}),          # a value where a dict would be needed
    ({'a': {'b': Default(int, 1)}}, {'a': {'b': {'c': 1}}}),
    ({str: {'b': Default(int, 1)}}, {}),                # no key made up for a type
    ({Optional(str): Default(int, 1)}, {}),
    ({Any(): {Or('x', 'y'): Default(int, 1)}}, {'k': {'z': 1}}),
    ({'a': int, 'b': dict}, {'a': 1, 'b': {}}),         # no Default at all
])
def test_nothing_added_returns_the_data_itself(schema, data):
    assert Schema(schema).apply_defaults(data) is data


def test_type_keys_are_left_to_validation():
    with pytest.raises(SchemaMissingKeyError):
        Schema({str: {'b': Default(int, 1)}}).validate({})


@pytest.mark.parametrize('data', [5, 'x', [1], (), OrderedDict()])
def test_non_dict_data_is_returned_unchanged(data):
    # Validation itself reports the type error.
    schema = Schema({'a': Default(int, 1)})
    if isinstance(data, dict):
        assert schema.apply_defaults(data) == {'a': 1}
    else:
        assert schema.apply_defaults(data) is data
        with pytest.raises(SchemaTypeError):
            schema.validate(data)


@pytest.mark.parametrize('schema, expected', [
    ({'a': Default(int, 1), Any(): {'x': Default(int, 2)}}, {'a': 1}),   # no wildcard entries
    ({Optional('a'): Default(int, 1)}, {'a': 1}),
    ({str: Default(int, 1)}, {}),
    ({'a': int}, {}),
])
def test_none_completes_an_empty_dict(schema, expected):
    assert Schema(schema).apply_defaults(None) == expected


@pytest.mark.parametrize('schema, data, expected', [
    (Default(int, 5), None, 5),
    (Default(int, 5), 3, 3),
    (Default(dict, {'x': 1}), {'y': 2}, {'y': 2, 'x': 1}),
    (Default(dict, {'x': {}}), None, {'x': {}}),
    (int, None, None),
])
def test_top_level_default(schema, data, expected):
    result = Schema(schema).apply_defaults(data)
    assert result == expected
    if data is None and isinstance(schema, Default):
        assert result is schema.default          # the value itself, not a copy


def test_collect_defaults():
    a, opt = Any(), Optional('o')
    schema = {'a': Default(int, 1), 'b': {a: {opt: Default(str, 'x'), 'c': int}}, 'e': {}}
    assert Schema(schema).collect_defaults() == {'a': 1, 'b': {a: {opt: 'x'}}}
    assert Schema(Default(int, 7)).collect_defaults() == 7
    assert Schema(int).collect_defaults() is None
    assert Schema({'a': Or(Default(int, 1))}).collect_defaults() == {}


def test_only_changed_dicts_are_new_and_the_callers_are_untouched():
    untouched = OrderedDict([('x', 1)])
    data = {'keep': {'v': untouched}, 'fill': OrderedDict([('y', 2)]), 'empty': {}}
    before = copy.deepcopy(data)
    schema = Schema({'keep': dict, 'fill': {'y': int, 'z': Default(int, 3)},
                     'empty': {'w': Default(int, 4)}})
    result = schema.apply_defaults(data)
    assert data == before and list(data['fill']) == ['y']
    assert result == {'keep': {'v': untouched}, 'fill': {'y': 2, 'z': 3}, 'empty': {'w': 4}}
    assert result is not data and result['keep'] is data['keep']
    assert type(result['fill']) is dict and result['empty'] is not data['empty']
    assert schema.validate(data)['keep'] is data['keep']


def test_default_values_are_shared_not_copied():
    value = []
    schema = Schema({Any(): {'tags': Default(list, value)}})
    result = schema.validate({'a': {}, 'b': {}})
    assert result['a']['tags'] is value and result['b']['tags'] is value


class CountedDefaults(Schema):
    def collect_defaults(self):
        return {'a': 'from override'}


class OwnApply(Schema):
    def apply_defaults(self, data):
        return {'a': 'applied'}


@pytest.mark.parametrize('cls', [CountedDefaults, OwnApply])
def test_overrides_are_used_by_validate(cls):
    assert cls({'a': str}).validate({}) == {'a': cls({}).apply_defaults({})['a']}


def test_default_mutated_by_a_converter():
    value = []
    schema = Schema({'a': Default(Use(lambda l: l.append(1) or l), value), 'b': And(int)})
    for _ in range(3):
        assert schema.validate({'b': 1})['a'] is value
    assert value == [1, 1, 1]


class RaisingKey(object):
    """Hashes like 'mtu' but cannot be compared."""

    def __hash__(self):
        return hash('mtu')

    def __eq__(self, other):
        raise RuntimeError('compare')


class ClearingKey(RaisingKey):
    """Empties the dict it stands in while being compared."""

    __hash__ = RaisingKey.__hash__

    def __init__(self, victim):
        self.victim = victim

    def __eq__(self, other):
        self.victim.clear()
        return False


def test_key_comparisons_that_raise_or_mutate():
    schema = Schema({Any(): {'mtu': Default(int, 1), str: int}})
    with pytest.raises(RuntimeError):
        schema.apply_defaults({'i1': {RaisingKey(): 1}})
    inner = {}
    inner[ClearingKey(inner)] = 1
    inner.update(('k%d' % i, i) for i in range(20))
    result = schema.apply_defaults({'i1': inner})
    assert result['i1']['mtu'] == 1


def test_deep_schema_gives_recursion_error():
    schema = node = {}
    for _ in range(100000):
        node['a'] = {}
        node = node['a']
    node['b'] = Default(int, 1)
    with pytest.raises(RecursionError):
        Schema(schema).validate({})


SCHEMAS = [
    (VRF, {'vrf': {'v1': {'interfaces': {'i1': {'status': 'up'}}}}}),
    ({'a': Default(int, 1), 'b': Fallback(int, 'a'), Optional('c'): {'d': Default(str, 'x')}}, {}),
    ({'a': str, 'b': Fallback(str, 'a')}, {'b': 'y'}),                      # missing key error
    ({'a': str, 'b': Fallback(str, 'z')}, {'a': 'x'}),                      # fallback error
    ({'a': Fallback(str, 'b'), 'b': Fallback(str, 'a')}, {}),               # loop error
    ({'a': Default(int, 'x')}, None),                                       # type error
    ({'a': int}, {'a': 1}),
]


def test_repeated_validation_does_not_grow_memory():
    def run():
        for schema, data in SCHEMAS:
            try:
                Schema(schema).validate(data)
            except Exception:
                pass
    for _ in range(200):
        run()
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(10000):
            run()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024

"""Fallbacks: collect_fallbacks, apply_fallback and their use by validate."""
import copy

import pytest

from quarn.utils.exceptions import (SchemaError, SchemaFallbackError, SchemaFallbackLoopError,
                                    SchemaMissingKeyError)
from quarn.utils import ordalin
from quarn.utils.ordalin import Any, Default, Fallback, Optional, Or, Schema, Use


@pytest.mark.parametrize('schema, data, expected', [
    ({'a': str, 'b': Fallback(str, 'a')}, {'a': 'x'}, {'a': 'x', 'b': 'x'}),
    ({'a': str, 'b': Fallback(str, 'a')}, {'a': 'x', 'b': 'y'}, {'a': 'x', 'b': 'y'}),
    ({'a': Fallback(str, 'b'), 'b': Fallback(str, 'c'), 'c': str},      # chain flattened
     {'b': 'y', 'c': 'z'}, {'a': 'z', 'b': 'y', 'c': 'z'}),
    ({'a': Default(str, 'd'), 'b': Fallback(str, 'a')}, {}, {'a': 'd', 'b': 'd'}),  # default first
    ({'h': str, Any(): {'alias': Fallback(str, 'h'), 'n': int}},
     {'h': 'r1', 'i1': {'n': 1}, 'i2': {'n': 2, 'alias': 'x'}},
     {'h': 'r1', 'i1': {'n': 1, 'alias': 'r1'}, 'i2': {'n': 2, 'alias': 'x'}}),
    ({'s': {'t': int}, Optional('a'): {'b': Fallback(int, 's.t')}},   # unwrapped
     {'s': {'t': 1}}, {'s': {'t': 1}, 'a': {'b': 1}}),
    ({'a': str, 'b': {'c': Fallback(str, 'a')}}, {'a': 'x', 'b': {}}, {'a': 'x', 'b': {'c': 'x'}}),
])
def test_validate_fills_fallbacks(schema, data, expected):
    before = copy.deepcopy(data)
    assert Schema(schema).validate(data) == expected
    assert data == before


@pytest.mark.parametrize('schema, data', [
    # No source is needed when nothing is to be added.
    ({'a': str, 'b': Fallback(str, 'a')}, {'b': 'y'}),
    ({Any(): {'x': Fallback(str, 'src')}}, {}),
    ({Any(): {'x': Fallback(str, 'src')}}, {'k': {'x': 'y'}}),
    # Present data is kept, no type key is made up.
    ({'a': str, 'b': Fallback(str, 'a')}, {'a': 'x', 'b': {'c': 1}}),
    ({'a': str, str: Fallback(str, 'a')}, {'a': 'x'}),
    ({'a': str}, {'a': 'x'}),
])
def test_nothing_added_returns_the_data_itself(schema, data):
    assert Schema(schema).apply_fallback(data) is data


def test_valid_data_holding_the_target_needs_no_source():
    with pytest.raises(SchemaMissingKeyError):
        Schema({'a': str, 'b': Fallback(str, 'a')}).validate({'b': 'y'})


@pytest.mark.parametrize('source, data', [
    ('z', {'a': 'x'}),
    ('a.b', {'a': 'x'}),
    ('a', {'a': {'b': 'x'}}),           # names a dict, not a leaf
])
def test_missing_source(source, data):
    schema = Schema({'a': object, 'b': Default(int, 1), 't': Fallback(str, source)})
    with pytest.raises(SchemaFallbackError) as info:
        schema.validate(data)
    fallback, so_far = info.value.args
    assert fallback == tuple(source.split('.'))
    assert so_far == dict(data, b=1)
    assert isinstance(info.value.__context__, ValueError)


@pytest.mark.parametrize('schema, args', [
    ({'a': Fallback(str, 'a')}, (('a',), ('a',))),
    ({'x': {'y': Fallback(str, 'x.y')}}, (('x', 'y'), ('x', 'y'))),
    ({'a': Fallback(str, 'b'), 'b': Fallback(str, 'a')}, (('a',), ('b',))),
    ({'b': Fallback(str, 'a'), 'a': Fallback(str, 'b')}, (('b',), ('a',))),
    ({'a': Fallback(str, 'b'), 'b': Fallback(str, 'c'), 'c': Fallback(str, 'a')}, (('c',), ('a',))),
])
def test_loops(schema, args):
    with pytest.raises(SchemaFallbackLoopError) as info:
        Schema(schema).validate({})
    assert info.value.args == args


def test_rewritten_fallbacks_stay_rewritten():
    a, b = Fallback(str, 'b'), Fallback(str, 'c')
    collected = Schema({'a': a, 'b': b, 'c': str}).collect_fallbacks()
    assert collected == {'a': a, 'b': b}
    assert a.fallback == ('c',) and b.fallback == ('c',)


@pytest.mark.parametrize('schema, expected', [
    ({'a': int}, {}),
    (Fallback(int, 'a'), 'self'),
    (int, None),
])
def test_collect_fallbacks(schema, expected):
    result = Schema(schema).collect_fallbacks()
    assert result is schema if expected == 'self' else result == expected


@pytest.mark.parametrize('schema, data', [
    ({'a': str, 'b': Fallback(str, 'a')}, 5),
    ({'a': str, 'b': Fallback(str, 'a')}, ['a']),
    (Fallback(int, 'a'), {}),                 # nothing to fall back from
])
def test_non_dict_data_or_top_level_fallback(schema, data):
    assert Schema(schema).apply_fallback(data) is data


def test_none_data_with_a_needed_source():
    with pytest.raises(SchemaFallbackError) as info:
        Schema({'b': Fallback(str, 'a')}).apply_fallback(None)
    assert info.value.args == (('a',), {})


def test_source_value_is_shared_not_copied():
    value = ['v']
    result = Schema({'s': list, Any(): {'t': Fallback(list, 's'), 'n': int}}).validate(
        {'s': value, 'i1': {'n': 1}, 'i2': {'n': 2}})
    assert result['i1']['t'] is value and result['i2']['t'] is value


class OwnCollect(Schema):
    def collect_fallbacks(self):
        return {'b': Fallback(str, 'a')}


def test_overridden_collect_is_used():
    assert OwnCollect({'a': str, 'b': str}).validate({'a': 'x'}) == {'a': 'x', 'b': 'x'}


def test_exotic_data_keys_take_the_literal_comparisons():
    # An Any() used as a data key matches any schema key in the presence
    # test: the default is seen as present.
    key = Any()
    assert Schema({'a': Default(int, 1)}).apply_defaults({key: 2}) == {key: 2}
    nan = float('nan')
    result = Schema({Any(): {'m': Default(int, 1)}}).apply_defaults({nan: {'x': 1}})
    assert result[nan] == {'x': 1, 'm': 1}


class EqualsX:
    """A key equal to 'x' whose hash is not that of 'x'."""

    def __eq__(self, other):
        return other == 'x' or other is self

    def __hash__(self):
        return 1


def outcome(call):
    try:
        return 'ok', call()
    except SchemaFallbackError as e:
        return type(e), e.args


@pytest.mark.parametrize('schema, data', [
    # 'c.d' is added by this pass: it is no source for 'y' (not present at the start)
    ({'a': int, 'c': {'a': Default(int, 5), Optional('d'): Fallback(int, 'a')},
      'y': Fallback(int, 'c.d')}, {'a': 1}),
    # two fallbacks for one wildcard target: the second sees it absent too
    ({'s': int, 't': str, Any(): {'v': Fallback(Or(int, str), 's')}, Optional('x'): {'v': Fallback(Or(int, str), 't')}},
     {'s': 1, 't': 'z', 'x': {}}),
    # a fallback into a dict that the defaults pass made
    ({'a': int, 'n': {'d': Default(int, 0), 'f': Fallback(int, 'a')}, 'g': Fallback(int, 'n.f')},
     {'a': 3}),
    # keys only the literal comparisons match: added by a default, or in the data
    ({'a': Default(dict, {EqualsX(): 5}), 'p': {'q': Default(int, 1)}, 'b': Fallback(int, ('a', 'x'))}, {}),
    ({'a': Default(dict, {}), 'p': {'q': Default(int, 1)}, 'b': Fallback(int, ('a', 'x'))}, {'a': {EqualsX(): 7}}),
    ({'p': {'q': Default(int, 1), Any(): int}, 'b': Fallback(int, ('p', 'x'))}, {'p': {EqualsX(): 7}}),
])
def test_validate_is_its_two_steps(schema, data):
    s = Schema(schema)
    assert outcome(lambda: s.validate(data)) == outcome(
        lambda: s.validate(s.apply_fallback(s.apply_defaults(data)), False))


def ordered(obj):
    """A dict's items in order, all the way down: results compared key order included."""
    if isinstance(obj, dict):
        return [(k, ordered(v)) for k, v in obj.items()]
    return obj


def ordered_outcome(call):
    try:
        return 'ok', ordered(call())
    except SchemaError as e:
        return type(e), repr(e.args), str(e), repr(getattr(e, 'location', None))


RECORDS = {'site': str, 'interfaces': {Any(): {
    'up': bool, 'mtu': Default(int, 1500), 'note': Default(Or(str, None), None),
    'count': Default(Use(int), '0'), 'site': Fallback(str, 'site'),
    Optional('sub'): {Any(): int}}}}
NESTED = {'a': int, 'm': {'f': Fallback(int, 'a')}, 'n': {'d': Default(int, 0), 'f': Fallback(int, 'a')},
          'x': Default(int, 9)}


@pytest.mark.parametrize('schema, data', [
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {'up': True}, 2: {'up': False, 'mtu': 9000, 'site': 'b'},
                                             ''.join(['i', '3']): {'up': True, 'mtu': None, 'sub': {'x': 1}}}}),
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {}}}),                  # an empty record receives
    (RECORDS, {'site': 'lab', 'interfaces': {}}),
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': 5}}),                   # no record to add to
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {'up': True, 'mtu': {'x': 1}}}}),
    (RECORDS, {'interfaces': {'i1': {'up': True}}}),                       # the source is missing
    (RECORDS, {'interfaces': {'i1': {'up': True, 'site': 'b'}}}),          # needed by no record
    (RECORDS, {'site': {'x': 'lab'}, 'interfaces': {'i1': {'up': True}}}),  # not a leaf
    (RECORDS, {'site': {}, 'interfaces': {'i1': {'up': True}}}),           # an empty dict is one
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {'up': 'no'}}}),
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {'up': True, 'count': 'x'}}}),
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {'up': True, 'sub': {'x': 'y'}}}}),
    (RECORDS, {'site': 'lab', 'interfaces': {'i1': {'up': True}, 'i2': {'up': True, 'sub': 5}}}),
    (RECORDS, {'interfaces': {'i1': {'up': True, 'sub': {'x': 'y'}}}}),   # the source's error first
    (NESTED, {'a': 3}),                       # dicts made, by the defaults and by the fallbacks
    (NESTED, {'a': 3, 'm': {}, 'n': {'f': 1}}),
    (NESTED, {'a': '3'}),
    (NESTED, {'a': 3, 'm': 1}),
    (NESTED, {}),
    ({Any(): {'a': int, 'bad': Default(int, 'x')}}, {'r': {'a': 1}}),    # an added value refused
    ({'p': {'a': Default(int, 'x')}}, {}),                                # in a dict made for it
    ({'s': str, Any(): {'x': int, Optional('mtu'): Default(int, 1), Optional('f'): Fallback(str, 's')}},
     {'s': 'v', 'r1': {'x': 1}, 'r2': {'x': 2, 'mtu': 3, 'f': 'w'}}),     # Optional keys unwrapped
    ({'s': str, Optional('p'): {'d': Default(int, 0), 'f': Fallback(str, 's')}}, {'s': 'v'}),
    ({Optional('k'): Default(int, 1), str: str}, {'x': 'y'}),           # 'k' taken by the type key
    ({'a': {'b': Default(int, 1)}, 'c': Fallback(dict, 'a')}, {'a': {}}),   # a source a default fills
    ({'a': Fallback(str, 'b'), 'b': Fallback(str, 'c'), 'c': str}, {'c': 'z'}),
    # the passes add in the schema dict's order, Optional keys first here
    ({'p': {Optional('a'): Default(int, 1), 'b': Default(int, 2), Optional('c'): Fallback(int, 'z'),
            'd': Fallback(int, 'z'), Optional('e'): {'f': Default(int, 3)}}, 'z': int}, {'p': {}, 'z': 5}),
    ({'p': {Optional('a'): Default(str, 1), 'b': Default(str, 2)}}, {'p': {}}),   # the first error
])
def test_walk_that_completes_gives_the_two_steps(schema, data):
    s = Schema(schema)
    whole = ordered_outcome(lambda: s.validate(data))
    # A validation that is not top-level gives its error no location.
    assert whole[:3] == ordered_outcome(lambda: s.validate(s.apply_fallback(s.apply_defaults(data)), False))[:3]
    was = ordalin._fast_walk(False)
    try:
        assert whole == ordered_outcome(lambda: s.validate(data))
    finally:
        ordalin._fast_walk(was)


def test_changed_source_and_default_are_read_again():
    fallback, default = Fallback(str, 'a'), Default(int, 1)
    s = Schema({'a': str, 'b': str, 'f': fallback, 'd': default})
    assert s.validate({'a': 'x', 'b': 'y'}) == {'a': 'x', 'b': 'y', 'f': 'x', 'd': 1}
    fallback.fallback = ('b',)
    default.default = 2
    assert s.validate({'a': 'x', 'b': 'y'}) == {'a': 'x', 'b': 'y', 'f': 'y', 'd': 2}

"""Schema.json_schema(): JSON Schema accepts what the schema accepts."""
import json

import pytest

from leakcheck import assert_no_leak, expect_raises
from quarn.utils.exceptions import SchemaError
from quarn.utils.ordalin import And, Any, Check, Default, Each, Fallback, Optional, Or, PathAwareUse, Schema, Use

jsonschema = pytest.importorskip('jsonschema')

LOOSER = 'Looser than quarn'


def quarn_accepts(schema, data):
    try:
        Schema(schema).validate(data)
    except SchemaError:
        return False
    return True


# jsonschema 3 (the last for CPython 3.6) knows drafts up to 7, which has
# every keyword json_schema() uses; named, it does not warn about the draft.
DRAFT = {} if hasattr(jsonschema, 'Draft202012Validator') else {'cls': jsonschema.Draft7Validator}
# The newest meta-schema the installed jsonschema knows (draft 7 for the
# releases that run on 3.6, whose Draft7 check breaks on CPython 3.14).
META = getattr(jsonschema, 'Draft202012Validator', jsonschema.Draft7Validator)


def json_accepts(json_schema, data):
    try:
        jsonschema.validate(data, json_schema, **DRAFT)
    except jsonschema.ValidationError:
        return False
    return True


def assert_agree(schema, data):
    """Never refuses what quarn accepts; accepts the same where not marked looser."""
    js = Schema(schema).json_schema()
    assert js['$schema'] == 'https://json-schema.org/draft/2020-12/schema'
    quarn, json_ok = quarn_accepts(schema, data), json_accepts(js, data)
    if quarn:
        assert json_ok, (schema, data, js)
    if LOOSER not in json.dumps(js):
        assert quarn == json_ok, (schema, data, js)


D = {'a': 1}
CASES = [
    (int, [1, True, False, -3], [1.5, 'x', None, [1]]),
    (bool, [True], [1, 0, None]),
    (str, ['', 'x'], [1, None, ['x']]),
    (list, [[], [1, 'x']], [{}, 'x']),
    (dict, [{}, D], [[], None]),
    (tuple, [], [[1], None]),
    (1, [1, True], [2, False, '1']),
    (0, [0, False], [True, None]),
    (True, [True, 1], [False, 2]),
    (None, [None], [0, False, '']),
    ('x', ['x'], ['y', None]),
    (2.5, [2.5], [2, 'x']),
    (['a', 'b'], [['a', 'b']], [['a'], ['b', 'a'], 'ab']),
    ([str], [], [['x'], ['str']]),
    (Any(), [None, 1, {}, [D]], []),
    (Or(), [], [None, 1]),
    (Or(int, None), [1, None, True], ['x', 1.5]),
    (And(int, Or(1, 2)), [1, 2, True], [3, '1']),
    (And(), [None, 'x'], []),
    (Optional(str), ['x'], [1]),
    (Each(int), [[], [1, True]], [[1.5], 'ab', {}, [None]]),
    (Each(Each(str)), [[['a'], []]], [['a'], [[1]]]),
    (Each(Default(int, 0)), [[None, 1]], [['x']]),
    (Default(int, 5), [None, 3], ['x']),
    (Default(int, 'x'), [3], [None, 'y']),
    ({}, [{}, None], [{'a': 1}, []]),
    ({'a': int}, [{'a': 1}], [{}, {'a': 'x'}, {'a': 1, 'b': 1}, None]),
    ({Optional('a'): int}, [{}, {'a': 1}, None], [{'a': 'x'}, {'b': 1}]),
    ({str: int}, [{'a': 1, 'b': 2}], [{}, {'a': 'x'}]),
    ({'a': str, str: int}, [{'a': 'x', 'b': 1}], [{'a': 'x'}, {'a': 1, 'b': 1}]),
    ({str: int, Optional('a'): str}, [{'a': 1}], [{'a': 'x'}]),
    ({Optional(str): int, Optional('a'): str}, [{'a': 1}, {}], [{'a': 'x'}]),
    ({Optional('a'): str, Optional(str): int}, [{'a': 'x', 'b': 1}], [{'a': 1}, {'b': 'x'}]),
    ({Any(): int, 'a': str}, [{'a': 'x', 'b': 1}], [{'a': 'x', 'b': 'x'}, {}]),
    ({int: str}, [], [{}, {'1': 'x'}]),
    ({1: str, Optional(2): int}, [], [{}, {'1': 'x'}]),
    ({'a': Default(int, 5)}, [{}, {'a': None}, {'a': 1}, None], [{'a': 'x'}]),
    ({'a': Default(int, 'x')}, [{'a': 1}], [{}, None]),
    ({'a': {'b': Default(int, 1), 'c': str}}, [{'a': {'c': 'x'}}], [{}, {'a': {}}, {'a': None}]),
    ({'a': {'b': Default(int, 1)}}, [{}, {'a': {}}, None], [{'a': 5}, {'a': {'b': 'x'}}]),
    ({Optional('a'): {'b': Default(int, 1), 'c': str}}, [{'a': {'c': 'x'}}], [{}, None]),
    ({'a': Each({'b': Default(int, 1)})}, [{'a': [{'b': None}]}], [{'a': [{}]}]),
    ({'a': Or({'b': Default(int, 1)}, 1)}, [{'a': 1}, {'a': {'b': 2}}], [{'a': {}}]),
    ({'a': And({'b': Default(int, 1)}, {'b': 1})}, [{'a': {'b': None}}], [{'a': {}}]),
]


@pytest.mark.parametrize('schema, accepted, refused', CASES)
def test_accepts_and_refuses_as_the_schema_does(schema, accepted, refused):
    for data in accepted:
        assert quarn_accepts(schema, data), data
    for data in refused:
        assert not quarn_accepts(schema, data), data
    for data in accepted + refused:
        assert_agree(schema, data)


@pytest.mark.parametrize('schema, accepted', [
    (float, [1.5]),
    (lambda v: v, [1, None]),
    (Use(int), ['1']),
    (Check(lambda v: v > 1), [2]),
    (PathAwareUse(lambda p, v: v), ['x']),
    ({'a': Fallback(int, 'b'), 'b': int}, [{'b': 1}]),
    (Fallback(int, 'b'), []),
    ({Any(): {'b': Default(int, 1)}}, [{'x': {}}]),
    ({Optional('a'): {Any(): {'b': Default(int, 1)}}}, [{}, {'a': {}}]),
    ({'a': {'b': Default(Use(int), '1')}}, [{}]),
    (And(Use(int), 5), ['5']),
    ({Use(str): int}, [{'a': 1}]),
    ([1], [[True]]),
])
def test_what_json_schema_cannot_say_is_looser_and_said_so(schema, accepted):
    js = Schema(schema).json_schema()
    assert LOOSER in json.dumps(js)
    for data in accepted:
        assert quarn_accepts(schema, data) and json_accepts(js, data)


def test_defaults_become_default_keywords_and_the_output_is_a_valid_schema():
    js = Schema({'port': Default(int, 22), 'hosts': Each(str)}).json_schema()
    assert js['properties']['port']['default'] == 22
    META.check_schema(js)
    assert json.loads(json.dumps(js)) == js


def test_cyclic_schemas_raise_value_error_and_deep_ones_recursion_error():
    d = {}
    d['a'] = d
    e = Each(int)
    e.schema = Or(str, e)
    for cyclic in (d, e, [1, [2]]):
        if isinstance(cyclic, list):
            cyclic[1].append(cyclic)
        with pytest.raises(ValueError, match='contains itself'):
            Schema(cyclic).json_schema()
    deep = int
    for _ in range(100000):
        deep = Each(deep)
    with pytest.raises(RecursionError):
        Schema(deep).json_schema()


def test_no_leaks():
    cyclic = Each(int)
    cyclic.schema = cyclic
    schema = Schema({'a': {'b': Default(int, 1)}, Optional('c'): Or(Each(str), [1.5]), str: Use(int)})

    def block():
        schema.json_schema()
        Schema(Default(int, 'x')).json_schema()
        expect_raises(ValueError, Schema(cyclic).json_schema)

    assert_no_leak(block, iterations=200, rounds=3)


def test_a_subclass_with_its_own_validate_is_left_open():
    class Mine(Each):
        def validate(self, data, top=False):
            return data

    assert Schema(Mine(int)).json_schema()['description'].startswith(LOOSER)
    assert Schema([Mine(int)]).json_schema()['description'].startswith(LOOSER)


# -- the property: generated schemas without callables, generated JSON data --

try:
    import hypothesis
    from hypothesis import strategies as st
except ImportError:
    hypothesis = None

if hypothesis is None:
    @pytest.mark.skip(reason='hypothesis is not installed')
    def test_json_schema_agrees_with_the_schema():
        pass
else:
    NAMES = st.sampled_from(['a', 'b'])
    FLOATS = st.floats(allow_nan=False, allow_infinity=False, width=32).filter(lambda f: not f.is_integer())
    SCALARS = st.none() | st.booleans() | st.integers(-2, 2) | FLOATS | NAMES
    JSON_DATA = st.recursive(
        SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(NAMES, inner, max_size=2),
        max_leaves=6)

    TYPES = st.sampled_from([int, float, str, bool, list, dict, tuple])
    KEYS = NAMES | NAMES.map(Optional) | st.just(str) | st.builds(Any) | st.just(Optional(str))

    def compound(inner):
        return (st.dictionaries(KEYS, inner, max_size=3)
                | st.lists(inner, min_size=1, max_size=3).map(lambda s: Or(*s))
                | st.lists(inner, min_size=1, max_size=2).map(lambda s: And(*s))
                | st.builds(Default, inner, SCALARS)
                | st.builds(Each, inner)
                | st.builds(Optional, inner))

    SCHEMAS = st.recursive(TYPES | SCALARS | st.builds(Any), compound, max_leaves=6)

    @hypothesis.settings(max_examples=200, deadline=None, suppress_health_check=list(hypothesis.HealthCheck))
    @hypothesis.given(SCHEMAS, JSON_DATA)
    def test_json_schema_agrees_with_the_schema(schema, data):
        assert_agree(schema, data)

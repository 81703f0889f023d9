"""Each: element-wise validation of lists, tuples and sets."""
import gc

import pytest

from leakcheck import assert_no_leak, expect_raises
from quarn.utils import ordalin
from quarn.utils.exceptions import (SchemaClassError, SchemaError, SchemaMissingKeyError, SchemaTypeError,
                                    SchemaValueError)
from quarn.utils.ordalin import And, Default, Each, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MySet(set):
    pass


def test_each_is_an_ordinary_class_outside_all():
    assert 'Each' not in ordalin.__all__
    assert type(Each) is type and Each.__bases__ == (Schema,)
    e = Each(int)
    assert (e.schema, e.schemaType, e.path) == (int, type, [])
    assert str(e) == repr(e) == "Each  (type) <class 'int'>"


@pytest.mark.parametrize('data, expected', [
    ([1, True], [1, True]),
    ((1, 2), (1, 2)),
    ({1, 2}, {1, 2}),
    ([], []),
    (MyList([1]), [1]),
    (MyTuple((1,)), (1,)),
    (MySet({1}), {1}),
])
def test_returns_a_new_container_of_the_builtin_type(data, expected):
    result = Schema(Each(int)).validate(data)
    assert result == expected and type(result) is type(expected)
    assert result is not data


@pytest.mark.parametrize('data', ['ab', {'a': 1}, None, 5, frozenset({1}), b'ab'])
def test_rejects_what_is_not_a_list_tuple_or_set(data):
    with pytest.raises(SchemaTypeError) as info:
        Schema({'k': Each(int)}).validate({'k': data})
    assert info.value.data is data and info.value.location == ('k',)


@pytest.mark.parametrize('schema, data, expected', [
    (Each(Use(int)), ('1', '2'), (1, 2)),
    (Each(Use(int)), {'1', '01'}, {1}),  # converted elements that collapse
    (Each(Each(int)), [[1], (2,)], [[1], (2,)]),
    (Each({'a': int}), [{'a': 1}], [{'a': 1}]),
    (Or(Each(int), str), 'x', 'x'),
    (And(Each(Use(int)), sum), ['1', '2'], 3),
    ({Optional('v'): Each(str)}, {'v': ['x']}, {'v': ['x']}),
    ({'v': Default(Each(int), [])}, {}, {'v': []}),
    (Each(Default(int, 0)), [None, 3], [0, 3]),
])
def test_works_as_a_value_and_inside_other_schemas(schema, data, expected):
    assert Schema(schema).validate(data) == expected


@pytest.mark.parametrize('schema, data, error, location', [
    (Each(int), [1, 'x'], SchemaTypeError, (1,)),
    ({'a': Each(int)}, {'a': [1, 2, 'x']}, SchemaTypeError, ('a', 2)),
    ({'a': Each({'b': int})}, {'a': [{'b': 1}, {'b': 'x'}]}, SchemaTypeError, ('a', 1, 'b')),
    ({'a': Each(Each(int))}, {'a': [[1], [2, 'x']]}, SchemaTypeError, ('a', 1, 1)),
    ({'a': Optional(Each(3))}, {'a': (3, 4)}, SchemaValueError, ('a', 1)),
    ({'a': And(Each(int))}, {'a': [None]}, SchemaTypeError, ('a', 0)),
    ({'a': Each(int)}, {'a': {1, 'x'}}, SchemaTypeError, ('a',)),  # a set element has no index
    ({'a': Each(lambda v: 1 / v)}, {'a': [1, 0]}, SchemaClassError, ('a', 1)),
])
def test_an_elements_error_is_located_by_its_index(schema, data, error, location):
    with pytest.raises(error) as info:
        Schema(schema).validate(data)
    assert info.value.location == location


def test_a_direct_call_locates_the_element_and_the_path_holds_the_index():
    with pytest.raises(SchemaTypeError) as info:
        Each(int, ['outer']).validate([1, 'x'])
    assert info.value.location == (1,) and info.value.path == ['outer', 1]


def test_a_subclass_overriding_validate_keeps_the_location():
    class Logged(Each):
        def validate(self, data, top=False):
            return super().validate(data, top)

    with pytest.raises(SchemaTypeError) as info:
        Schema({'a': Logged(int)}).validate({'a': [1, 'x']})
    assert info.value.location == ('a', 1)
    assert Schema({'a': Logged(int)}).validate({'a': (1,)}) == {'a': (1,)}


def test_a_plain_list_keeps_its_meaning_of_a_value():
    assert Schema([str]).validate([str]) == [str]
    with pytest.raises(SchemaValueError):
        Schema([str]).validate(['a'])


def test_defaults_inside_an_each_are_not_applied():
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema({'a': Each({'b': Default(int, 1)})}).validate({'a': [{}]})
    assert info.value.location == ('a', 0)


def test_the_walk_goes_over_the_elements_it_started_with():
    data = [1, 2, 3]
    seen = []

    def mutate(v):
        data.clear()
        gc.collect()
        seen.append(v)
        return v * 10

    assert Schema(Each(mutate)).validate(data) == [10, 20, 30] and seen == [1, 2, 3]


def test_a_subclass_storage_is_read_not_its_iteration():
    class Lying(list):
        def __iter__(self):
            raise AssertionError('not called')

        def __getitem__(self, i):
            raise AssertionError('not called')

    assert Schema(Each(int)).validate(Lying([1, 2])) == [1, 2]


def test_deep_data_and_cyclic_schemas_raise_recursion_error():
    cyclic = Each(int)
    cyclic.schema = cyclic
    data = []
    data.append(data)
    with pytest.raises(RecursionError):
        Schema(cyclic).validate(data)
    deep = 1
    schema = int
    for _ in range(100000):
        deep, schema = [deep], Each(schema)
    with pytest.raises(RecursionError):
        Schema(schema).validate(deep)


def test_errors_of_element_code_pass_unchanged():
    def interrupt(v):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Schema(Each(interrupt)).validate([1])
    with pytest.raises(SchemaError):
        Schema(Each(Use(int))).validate(['x'])


def test_no_leaks():
    schema = Schema({'a': Each(Use(int))})

    def block():
        schema.validate({'a': ['1', '2']})
        expect_raises(SchemaError, schema.validate, {'a': ['1', 'x']})
        expect_raises(SchemaTypeError, schema.validate, {'a': 'x'})
        Schema(Each(int)).validate({1, 2})

    assert_no_leak(block, iterations=200, rounds=3)

"""The dispatcher and the dictionary walk: results, errors and their paths."""
import collections

import pytest

from quarn.utils.exceptions import (
    SchemaClassError, SchemaError, SchemaMissingKeyError, SchemaTypeError,
    SchemaUnsupportedKeyError, SchemaValueError)
from quarn.utils.ordalin import Any, Optional, Schema

pytestmark = pytest.mark.usefixtures('code_plans')


@pytest.mark.parametrize('schema, data, expected', [
    (int, True, True),
    (str, 'x', 'x'),
    (list, [1], [1]),
    (dict, {'a': object}, {'a': object}),
    (lambda x: x * 2, 3, 6),
    (chr, 65, 'A'),
    (5, 5, 5),
    ([int], [int], [int]),
    ({'a': str}, {'a': 'x'}, {'a': 'x'}),
    ({Optional('a'): str}, {}, {}),
    ({}, {}, {}),
    ({'a': int, str: str}, {'a': 1, 'b': 'x'}, {'a': 1, 'b': 'x'}),
    ({Any(): int}, {}, {}),
    ({'a': {'b': int}}, {'a': {'b': 1}}, {'a': {'b': 1}}),
    ({str: {Any(): int}}, {'x': {1: 2}}, {'x': {1: 2}}),
])
def test_valid_data(schema, data, expected):
    assert Schema(schema).validate(data) == expected


@pytest.mark.parametrize('schema, data', [
    (int, True), (dict, {'a': 1}), (Any(), object()), (str, 'x'), (5, 5),
])
def test_same_object_returned(schema, data):
    assert Schema(schema).validate(data, False) is data


def test_dict_result_is_a_new_plain_dict():
    data = collections.OrderedDict(a=1)
    result = Schema({'a': int}).validate(data)
    assert type(result) is dict and result == {'a': 1}
    assert result is not data


@pytest.mark.parametrize('schema, data, exc, args', [
    (int, 'x', SchemaTypeError, ([], int, 'x')),
    ({'a': str}, [], SchemaTypeError, ([], {'a': str}, [])),
    ({'a': str}, {}, SchemaMissingKeyError, ([], ['a'])),
    ({'a': str}, {'b': 1}, SchemaMissingKeyError, ([], ['a'])),
    ({'a': str}, {'a': 'x', 'b': 1}, SchemaUnsupportedKeyError, ([], {'b'})),
    ({}, {'a': 1}, SchemaUnsupportedKeyError, ([], {'a'})),
    ({str: int}, {}, SchemaMissingKeyError, ([], ["<class 'str'>"])),
    ({'a': {'b': int}}, {'a': {'b': 'x'}}, SchemaTypeError, (['a', 'b'], int, 'x')),
    ({'a': {'b': int}}, {'a': {}}, SchemaMissingKeyError, (['a'], ['b'])),
    ({'a': {'b': 1}}, {'a': {'b': 2}}, SchemaValueError, (['a', 'b'], 1, 2)),
    ({str: int, Any(): str}, {'b': 'x'}, SchemaTypeError, (['b'], int, 'x')),
    ([int], [1], SchemaValueError, ([], [int], [1])),
    ({'a': Optional(int)}, {'a': 'x'}, SchemaTypeError, ([], int, 'x')),
    (Any(), 5, None, None),
])
def test_errors(schema, data, exc, args):
    if exc is None:
        assert Schema(schema).validate(data) == data
        return
    with pytest.raises(exc) as info:
        Schema(schema).validate(data)
    assert info.value.args == args


def test_bad_value_reported_before_missing_and_unsupported_keys():
    with pytest.raises(SchemaTypeError):
        Schema({'a': int, 'b': int}).validate({'a': 'x', 'c': 1})


def test_error_path_starts_with_the_schemas_own_path():
    with pytest.raises(SchemaTypeError) as info:
        Schema({'a': int}, ['top']).validate({'a': 'x'})
    assert info.value.path == ['top', 'a']


def test_missing_keys_in_set_order():
    schema = {k: int for k in 'abcdefgh'}
    with pytest.raises(SchemaMissingKeyError) as info:
        Schema(schema).validate({'c': 1})
    required = {k for k in schema}      # built the way the engine builds it
    assert info.value.missing == [str(k) for k in required if k != 'c']


def test_callable_error_is_wrapped_with_its_cause():
    with pytest.raises(SchemaClassError) as info:
        Schema({'a': lambda x: 1 / x}).validate({'a': 0})
    err = info.value
    assert err.path == ['a'] and err.data == 0
    assert isinstance(err.error, ZeroDivisionError) and err.__cause__ is err.error


def test_base_exceptions_from_callables_propagate():
    def stop(_):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        Schema({'a': stop}).validate({'a': 1})


def test_first_matching_key_decides():
    # 'b' is accepted by str before the Any key is tried.
    assert Schema({str: str, Any(): int}).validate({'b': 'x'}) == {'b': 'x'}


def test_converted_keys_are_stored():
    assert Schema({len: int}).validate({'abc': 1}) == {3: 1}


def half(value):
    return value // 2


@pytest.mark.parametrize('schema, data, expected', [
    # results that differ from the data's own, before and after the same
    ({'a': int, 'b': half, 'c': str, 'd': half}, {'a': 1, 'b': 4, 'c': 'x', 'd': 6},
     [('a', 1), ('b', 2), ('c', 'x'), ('d', 3)]),
    # a converted key after a converted value, and before others
    ({'a': half, len: int}, {'a': 4, 'xyz': 1, 'b': 2}, [('a', 2), (3, 1), (1, 2)]),
    ({len: half, 'a': int}, {'ab': 4, 'a': 1}, [(2, 2), ('a', 1)]),
])
def test_results_keep_the_data_order(schema, data, expected):
    """Results are stored in the order the data's keys are walked, under
    the key each key test gave."""
    for _ in range(2):
        assert list(Schema(schema).validate(data).items()) == expected


@pytest.mark.parametrize('data', [{'a': 4, 'x': 1, 'b': 1}, {'x': 1, 'a': 4, 'b': 1}, {'a': 4, 'b': 1, 'x': 1}])
def test_a_key_left_out_after_a_converted_value_is_unsupported(data):
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema({'a': half, 'b': int}).validate(data)
    assert info.value.wrong_keys == {'x'}


def test_keys_collapsing_onto_one_are_unsupported():
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema({len: int}).validate({'ab': 1, 'cd': 2})
    assert info.value.wrong_keys == {'ab', 'cd'} - {3}


def test_key_schema_errors_other_than_schema_errors_propagate():
    def bad_key(_):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        Schema({bad_key: int}).validate({'a': 1})


def test_optional_keys_are_tried_after_plain_ones():
    seen = []

    def spy(k):
        seen.append(k)
        return k
    Schema({Optional(spy): int, spy: int}).validate({'x': 1})
    assert seen == ['x']


def test_schema_object_keys_and_values():
    schema = {Optional('a'): int, 'b': Optional(str)}
    assert Schema(schema).validate({'b': 'x'}) == {'b': 'x'}
    assert Schema(schema).validate({'a': 1, 'b': 'y'}) == {'a': 1, 'b': 'y'}


def test_user_schema_subclass_validate_is_called():
    class Upper(Schema):
        def validate(self, data, top=False):
            return data.upper()
    assert Schema({'a': Upper(str)}).validate({'a': 'x'}) == {'a': 'X'}


def test_dict_subclass_schema_uses_its_own_lookup():
    class Loose(dict):
        def __contains__(self, key):
            return True

        def __getitem__(self, key):
            return int
    assert Schema(Loose(a=str)).validate({'a': 5}) == {'a': 5}


def test_dict_subclass_data_uses_its_own_iteration():
    class Reversed(dict):
        def __iter__(self):
            return reversed(list(dict.__iter__(self)))
    result = Schema({str: int}).validate(Reversed(a=1, b=2))
    assert list(result) == ['b', 'a']


def test_schema_errors_are_exceptions():
    assert issubclass(SchemaError, Exception)


@pytest.mark.parametrize('call, top', [
    (lambda s, d: s.validate(d), True),
    (lambda s, d: s.validate(d, False), False),
    (lambda s, d: s.validate(d, top=0), False),
    (lambda s, d: s.validate(data=d), True),
    (lambda s, d: s.validate(top=False, data=d), False),
    (lambda s, d: s.validate(*[d], **{'top': True}), True),
])
def test_validate_call_shapes(call, top):
    from quarn.utils.ordalin import Default
    schema = Schema({'a': Default(int, 5)})
    if top:
        assert call(schema, {}) == {'a': 5}
    else:
        with pytest.raises(SchemaMissingKeyError):
            call(schema, {})


@pytest.mark.parametrize('call', [
    lambda s: s.validate(),
    lambda s: s.validate({}, True, 1),
    lambda s: s.validate({}, data={}),
    lambda s: s.validate({}, bottom=True),
    lambda s: s.validate(top=True),
])
def test_validate_bad_calls_are_type_errors(call):
    # The wording is the interpreter's argument parser's, which varies.
    with pytest.raises(TypeError):
        call(Schema({}))


def test_defaults_override_that_replaces_the_schema_is_honoured():
    # The walk reads `schema` again when Python code ran in the passes.
    class Switching(Schema):
        def apply_defaults(self, data):
            self.schema = {'b': str}
            return data

    with pytest.raises(SchemaMissingKeyError):
        Switching({'a': int}).validate({'a': 1})
    assert Switching({'a': int}).validate({'b': 'x'}) == {'b': 'x'}

"""Optional, Any, Or and And."""
import pytest

from quarn.utils.exceptions import SchemaError, SchemaTypeError, SchemaValueError
from quarn.utils.ordalin import And, Any, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


def test_any_attributes():
    a = Any()
    assert (a.schema, a.schemaType, a.path) == ('*', str, [])
    with pytest.raises(TypeError):
        Any('x')


def test_any_wraps_as_wildcard_but_validates_star_directly():
    data = object()
    assert Schema(Any()).validate(data, False) is data
    assert Schema({'a': Any()}).validate({'a': data})['a'] is data
    assert Any().validate('*', False) == '*'
    with pytest.raises(SchemaValueError):
        Any().validate(5, False)


def test_or_and_attributes():
    o, a = Or(str, 1), And(int)
    assert o.schemas == (str, 1) and a.schemas == (int,)
    assert not hasattr(o, 'schema') and not hasattr(a, 'path')
    with pytest.raises(TypeError):
        Or(str, int, keyword=1)
    with pytest.raises(TypeError):
        And(keyword=1)


@pytest.mark.parametrize('schema, data, expected', [
    (Or(int, str), 'x', 'x'),
    (Or(int, str), 3, 3),
    (Or(Use(int), str), '5', 5),
    (And(), 7, 7),
    (And(str, len), 'abc', 3),
    (And(Use(int), lambda n: n * 2), '4', 8),
    (Or({'a': int}, {'b': str}), {'b': 'x'}, {'b': 'x'}),
])
def test_combinator_results(schema, data, expected):
    assert schema.validate(data) == expected
    assert Schema({'k': schema}).validate({'k': data}) == {'k': expected}


def test_or_message_names_each_alternative():
    with pytest.raises(SchemaError) as info:
        Or(str, int).validate(1.5)
    assert type(info.value) is SchemaError
    assert info.value.args == (
        "Schema  (type) <class 'str'> does not match 1.5 and "
        "Schema  (type) <class 'int'> does not match 1.5",)


def test_or_message_has_no_path_even_when_nested():
    with pytest.raises(SchemaError) as info:
        Schema({'a': {'b': Or(1)}}).validate({'a': {'b': 2}})
    assert info.value.args == ('Schema  (int) 1 does not match 2',)


def test_empty_or_fails_with_empty_message():
    with pytest.raises(SchemaError) as info:
        Or().validate(1)
    assert info.value.args == ('',)


def test_or_stops_at_first_match():
    calls = []

    def spy(x):
        calls.append(x)
        return x
    Or(spy, spy).validate(1)
    assert calls == [1]


@pytest.mark.parametrize('raised', [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_or_lets_base_exceptions_through(raised):
    def alt(_):
        raise raised()
    with pytest.raises(raised):
        Or(alt, int).validate(1)


def test_or_catches_any_exception():
    assert Or(lambda x: 1 / 0, int).validate(2) == 2
    assert Or(Use(int), str).validate('x') == 'x'


def test_and_propagates_the_failing_requirement():
    with pytest.raises(SchemaTypeError) as info:
        And(int, str).validate(5)
    assert info.value.args == ([], str, 5)


def test_optional_uses_its_own_path():
    with pytest.raises(SchemaTypeError) as info:
        Schema({'a': Optional(int, ['own'])}).validate({'a': 'x'})
    assert info.value.path == ['own']


def test_markers_are_never_required():
    schema = {Optional('a'): int, Any(): str, 'b': str}
    assert Schema(schema).validate({'b': 'x'}) == {'b': 'x'}
    assert Schema(schema).validate({'b': 'x', 'z': 'y'}) == {'b': 'x', 'z': 'y'}


def test_or_lets_recursion_errors_through():
    def deep(_):
        raise RecursionError('too deep')
    with pytest.raises(RecursionError, match='too deep'):
        Or(Use(deep), int).validate(1)

"""Use, PathValidatingSchema and PathAwareUse."""
import functools

import pytest

from quarn.utils.exceptions import SchemaError, SchemaTypeError
from quarn.utils.ordalin import PathAwareUse, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


def test_use_converts():
    assert Schema(Use(int)).validate('5') == 5
    assert Schema({'a': Use(int)}).validate({'a': '5'}) == {'a': 5}
    assert Use(int).validate('5') == 5 and Use(int).validate('5', True) == 5
    assert Use(lambda x: None).validate(3) is None


def test_use_failure_message_and_cause():
    with pytest.raises(SchemaError) as info:
        Use(int).validate('x')
    err = info.value
    assert type(err) is SchemaError
    assert err.args[0] == 'int(' + repr('x') + ') raised ' + repr(err.__cause__)
    assert isinstance(err.__cause__, ValueError)


@pytest.mark.parametrize('callable_, name', [
    (functools.partial(int, base=2), repr(functools.partial(int, base=2))),
])
def test_use_without_name_uses_repr(callable_, name):
    with pytest.raises(SchemaError) as info:
        Use(callable_).validate('x')
    assert info.value.args[0].startswith(name + "('x') raised ValueError(")


def test_schema_errors_pass_unchanged():
    raised = SchemaTypeError(['p'], int, 'x')

    def inner(_):
        raise raised
    for converter in (Use(inner), PathAwareUse(lambda p, d: inner(d))):
        with pytest.raises(SchemaTypeError) as info:
            Schema({'a': converter}).validate({'a': 1})
        assert info.value is raised


def test_base_exceptions_pass_unchanged():
    def stop(_):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        Use(stop).validate(1)


def test_path_aware_use_gets_the_path():
    calls = []

    def f(path, data):
        calls.append((list(path), data))
        return data + 1
    result = Schema({'a': {'b': PathAwareUse(f)}}).validate({'a': {'b': 1}})
    assert result == {'a': {'b': 2}} and calls == [(['a', 'b'], 1)]
    assert PathAwareUse(f).validate(['k'], 3) == 4 and calls[-1] == (['k'], 3)
    assert PathAwareUse(f).validate(path=['z'], data=0, top=True) == 1


def test_path_aware_use_receives_the_schemas_own_list():
    s = Schema(PathAwareUse(lambda path, data: path.append('x')))
    s.validate(1)
    assert s.path == ['x']


def test_path_aware_use_failure_message_omits_the_path():
    def f(path, data):
        raise ValueError('v')
    with pytest.raises(SchemaError) as info:
        Schema({'a': PathAwareUse(f)}).validate({'a': 1})
    assert info.value.args == ('f(1) raised ' + repr(ValueError('v')),)


@pytest.mark.parametrize('callable_, data, expected', [
    (int, '42', 42), (int, 4.7, 4), (float, '2.5', 2.5), (str, 7, '7'), (len, 'abc', 3),
])
def test_builtin_conversions(callable_, data, expected):
    result = Schema({'k': Use(callable_)}).validate({'k': data})['k']
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize('callable_, data', [(int, 'x'), (float, 'y'), (len, 5)])
def test_builtin_conversion_failures_name_the_callable(callable_, data):
    with pytest.raises(SchemaError) as info:
        Use(callable_).validate(data)
    try:
        callable_(data)
    except Exception as e:
        expected = e
    assert info.value.args == ('{}({!r}) raised {!r}'.format(callable_.__name__, data, expected),)


@pytest.mark.parametrize('text', [
    '0', '-0', '+7', '007', '-42', '999999999999999999', '-999999999999999999',
    '9999999999999999999', '-9223372036854775809', '1' * 40, ' 5', '5\n', '1_000',
    '', '-', '+', '--1', '12a', '\u0663\u0664', '\xb2', '\xe9',
])
def test_int_of_a_str_is_what_int_gives(text):
    """Short decimal strings are read by the engine itself: the result (or
    the failure) must be int()'s, in the compiled walk and the other one."""
    try:
        expected = int(text)
    except ValueError as e:
        expected = e
    compiled = Schema({'k': Use(int)}), {'k': text}
    general = Schema({'k': Use(int), 'f': lambda v: True}), {'k': text, 'f': 1}
    for schema, data in (compiled, general):
        if isinstance(expected, ValueError):
            with pytest.raises(SchemaError) as info:
                schema.validate(data)
            assert info.value.args == ('int({!r}) raised {!r}'.format(text, expected),)
        else:
            result = schema.validate(data)['k']
            assert result == expected and type(result) is int


def test_recursion_errors_pass_unchanged():
    raised = RecursionError('too deep')

    def deep(_):
        raise raised
    with pytest.raises(RecursionError) as info:
        Use(deep).validate(1)
    assert info.value is raised

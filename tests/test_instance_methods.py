"""A method set on a schema instance wins over its class's, as attribute
lookup has it, whether the engine meets the object for the first time or
after it compiled it."""
from unittest import mock

import pytest

from quarn.utils.exceptions import SchemaError, SchemaUnsupportedKeyError
from quarn.utils.ordalin import And, Default, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


class Called(Exception):
    pass


def patched(data, top=False):
    return ('patched', data)


@pytest.mark.parametrize('make', [
    lambda: Or(int, str), lambda: And(int), lambda: Use(int), lambda: Schema(int), lambda: Default(int, 3),
    lambda: Optional(int),
], ids=['Or', 'And', 'Use', 'Schema', 'Default', 'Optional'])
@pytest.mark.parametrize('warm', [False, True], ids=['cold', 'warm'])
def test_a_validate_set_on_a_value_object_is_called(make, warm):
    obj = make()
    s = Schema({'a': obj, 'n': {'b': obj}})
    data = {'a': 1, 'n': {'b': 2}}
    if warm:
        assert s.validate(data) == data
    obj.validate = patched
    assert s.validate(data) == {'a': ('patched', 1), 'n': {'b': ('patched', 2)}}
    del obj.validate
    assert s.validate(data) == data


@pytest.mark.parametrize('warm', [False, True], ids=['cold', 'warm'])
@pytest.mark.parametrize('code', [False, True], ids=['plain', 'with-code'])
def test_a_validate_set_on_an_optional_key_decides_what_it_takes(warm, code):
    key = Optional('a')
    # A user's function in the dict takes the walk that reads its keys anew.
    s = Schema({key: int, Optional('f'): callable} if code else {key: int})
    if warm:
        assert s.validate({'a': 1}) == {'a': 1}

    def refuses(data, top=False):
        raise SchemaError('refused')
    key.validate = refuses
    with pytest.raises(SchemaUnsupportedKeyError):
        s.validate({'a': 1})
    assert s.validate({}) == {}
    del key.validate
    assert s.validate({'a': 1}) == {'a': 1}


@pytest.mark.parametrize('name', ['apply_defaults', 'collect_defaults', 'apply_fallback', 'collect_fallbacks'])
@pytest.mark.parametrize('schema', [{'a': int}, {'a': Default(int, 1)}], ids=['plain', 'defaults'])
@pytest.mark.parametrize('warm', [False, True], ids=['cold', 'warm'])
def test_a_pass_patched_on_the_instance_runs_at_the_top_level(name, schema, warm):
    s = Schema(schema)
    if warm:
        assert s.validate({'a': 2}) == {'a': 2}
    with mock.patch.object(s, name, side_effect=Called) as spy:
        with pytest.raises(Called):
            s.validate({'a': 2})
    spy.assert_called_once()
    assert s.validate({'a': 2}) == {'a': 2}


def test_a_validate_set_on_the_instance_is_what_iter_errors_reports():
    s = Schema({'a': int})

    def refuses(data, top=True):
        raise SchemaError('refused')
    s.validate = refuses
    assert [str(e) for e in s.iter_errors({'a': 1})] == ['refused']


def test_json_schema_does_not_translate_an_object_whose_validate_is_its_own():
    o = Or(int, str)
    o.validate = patched
    assert 'validate of its own' in Schema({'a': o}).json_schema()['properties']['a']['description']


def test_a_class_that_looks_up_its_attributes_itself_is_asked_for_its_methods():
    class Looked(Or):
        def __getattribute__(self, name):
            return patched if name == 'validate' else object.__getattribute__(self, name)

    class Completing(Schema):
        def __getattribute__(self, name):
            if name == 'apply_defaults':
                return lambda data: {'a': 9}
            return object.__getattribute__(self, name)
    assert Schema({'a': Looked(int)}).validate({'a': 1}) == {'a': ('patched', 1)}
    assert Completing({'a': int}).validate({}) == {'a': 9}

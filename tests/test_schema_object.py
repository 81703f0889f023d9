"""The module surface and the Schema object: classes, texts, priority."""
import inspect

import pytest

import quarn.utils.ordalin as ordalin
from quarn.utils import exceptions
from quarn.datastructures import ListDict
from quarn.utils.ordalin import Any, And, Default, Fallback, Optional, Or, Schema, Use
from quarn.utils.ordalin import Path, PathAwareUse, PathValidatingSchema

CLASSES = [
    ('Schema', object), ('PathValidatingSchema', Schema), ('Optional', Schema),
    ('Any', Optional), ('And', Schema), ('Or', Schema), ('Default', Optional),
    ('Fallback', Optional), ('Use', Schema), ('PathAwareUse', PathValidatingSchema),
    ('Path', tuple),
]


def test_module_surface():
    assert ordalin.__all__ == ['Schema', 'Optional', 'Any', 'Or', 'Default',
                               'Fallback', 'Use', 'And']
    # The module documents its vocabulary for help() (an addition).
    assert ordalin.__doc__.startswith('Schema validation:')
    assert ordalin.ListDict is ListDict
    for name in exceptions.__all__:
        assert getattr(ordalin, name) is getattr(exceptions, name)
    namespace = {}
    exec('from quarn.utils.ordalin import *', namespace)
    assert sorted(k for k in namespace if k != '__builtins__') == sorted(ordalin.__all__)


@pytest.mark.parametrize('name, base', CLASSES)
def test_classes_are_ordinary(name, base):
    cls = getattr(ordalin, name)
    assert type(cls) is type
    assert cls.__bases__ == (base,)
    assert cls.__module__ == 'quarn.utils.ordalin'

    class Sub(cls):
        pass
    assert issubclass(Sub, cls)


def test_member_order_and_docstrings():
    assert [k for k in vars(Schema) if not k.startswith('__') or k in (
        '__init__', '__str__', '__repr__')] == [
        '__init__', '__str__', '__repr__', 'priority', 'collect_defaults',
        'collect_fallbacks', 'apply_defaults', 'apply_fallback', 'validate',
        'iter_errors', 'json_schema']  # additions, after the original members
    assert [k for k in vars(Path) if k in ('__hash__', '__eq__', 'is_dynamic', 'missing_from')] == [
        '__hash__', '__eq__', 'is_dynamic', 'missing_from']
    assert Schema.__doc__.startswith('Schema class')
    assert "Schema({'a': str}).validate({'a': 'some string'})" in Schema.__doc__
    assert PathValidatingSchema.__doc__ == 'Schema that passes path to its validator. '
    assert Optional.__doc__.startswith('Optional Class (Schema)')
    assert 'Marks an optional part of the schema.' in Optional.__doc__
    assert Use.__doc__.startswith('Use Class (Schema)')
    assert PathAwareUse.__doc__.startswith('PathAwareUse Class (PathValidatingSchema, Schema)')
    assert Path.__doc__.startswith('Path object (tuple)')
    assert 'assert Path((1, Any(), 3)) == Path((1, 2, 3))' in Path.__doc__


def test_instances_have_a_dict():
    s = Schema(int)
    s.extra = 1
    assert vars(s) == {'schema': int, 'schemaType': type, 'path': [], 'extra': 1}


def test_signatures():
    assert str(inspect.signature(Schema(1).validate)) == '(data, top=True)'
    assert str(inspect.signature(Schema)) == '(schema, path=None)'
    assert str(inspect.signature(Or(1).validate)) == '(data, top=False)'


@pytest.mark.parametrize('make', [
    lambda d, p: Schema(d, p),
    lambda d, p: Schema(d, path=p),
    lambda d, p: Schema(path=p, schema=d),
    lambda d, p: Optional(schema=d, path=p),
    lambda d, p: Schema(*[d], **{'path': p}),
])
def test_init_call_shapes(make):
    d, p = {'a': int}, ['x']
    s = make(d, p)
    assert s.schema is d and s.schemaType is dict and s.path == p and s.path is not p
    assert Schema(schema=d).path == []


@pytest.mark.parametrize('make', [
    lambda: Schema(),
    lambda: Schema({}, [], 1),
    lambda: Schema({}, schema={}),
    lambda: Schema({}, [], path=[]),
    lambda: Schema({}, paths=[]),
    lambda: Schema(path=[]),
])
def test_init_bad_calls_are_type_errors(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize('path_arg, stored', [(None, []), ([], []), (['x', 1], ['x', 1])])
def test_init_stores_a_copy_of_the_path(path_arg, stored):
    s = Schema({'a': int}, path_arg)
    assert s.schema == {'a': int} and s.schemaType is dict and s.path == stored
    if path_arg:
        path_arg.append('later')
        assert s.path == stored
    assert s.path is not path_arg


def test_truthy_path_without_copy_fails():
    with pytest.raises(AttributeError):
        Schema(int, ('a',))


@pytest.mark.parametrize('obj, text', [
    (Schema(str), "Schema  (type) <class 'str'>"),
    (Schema({'a': int}, ['x', 1]), "Schema x.1 (dict) {'a': <class 'int'>}"),
    (Optional('a'), 'Optional  (str) a'),
    (Any(), 'Any  (str) *'),
    (Or(str, int), "Or (<class 'str'>, <class 'int'>)"),
    (Or(str), "Or (<class 'str'>,)"),
    (And(Schema(int)), "And (Schema  (type) <class 'int'>,)"),
])
def test_text_forms(obj, text):
    assert str(obj) == text
    assert repr(obj) == text


def test_repr_uses_the_instances_str():
    class Loud(Schema):
        def __str__(self):
            return 'loud'
    assert repr(Loud(1)) == 'loud'


def test_str_without_attributes_raises():
    s = Schema(1)
    del s.path
    with pytest.raises(AttributeError):
        str(s)


@pytest.mark.parametrize('key, priority', [
    (Any(), 3), (Optional('a'), 2), (Default(int, 1), 2), (Fallback(str, 'a'), 2),
    ('a', 1), (str, 1), (None, 1),
])
def test_priority(key, priority):
    assert Schema.priority(key) == priority

"""The engine notices every change to what it compiled: schema dicts, the
schema objects in them and the engine's classes, on every CPython (version
tags up to 3.11, dict and type watchers from 3.12)."""
import subprocess
import sys
import textwrap

import pytest

from quarn.utils.exceptions import SchemaError
from quarn.utils.ordalin import And, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


def test_a_new_schema_dict_at_the_address_of_a_freed_one_is_not_taken_for_it():
    # pymalloc hands the freed dict's memory to the next one at once.
    for i in range(2000):
        schema = {'a': int} if i % 2 else {'a': str}
        expected_ok = 1 if i % 2 else 'x'
        assert Schema(schema).validate({'a': expected_ok}) == {'a': expected_ok}
        with pytest.raises(SchemaError):
            Schema(schema).validate({'a': 'x' if i % 2 else 1})
        del schema


@pytest.mark.parametrize('cls, schema', [(Or, Or(int, str)), (And, And(int)), (Use, Use(int))])
def test_a_class_changed_twice_without_a_lookup_between_is_seen(monkeypatch, cls, schema):
    s = Schema({'a': schema})
    assert s.validate({'a': 1}) == {'a': 1}
    # The first change drops the class's tag; the second must still be seen
    # once the engine has looked at the class again.
    monkeypatch.setattr(cls, 'unrelated', 1, raising=False)
    monkeypatch.setattr(cls, 'validate', lambda self, data, top=False: 'first')
    assert s.validate({'a': 1}) == {'a': 'first'}
    monkeypatch.setattr(cls, 'validate', lambda self, data, top=False: 'second')
    assert s.validate({'a': 1}) == {'a': 'second'}
    monkeypatch.undo()
    assert s.validate({'a': 1}) == {'a': 1}


NO_WATCHERS_LEFT = textwrap.dedent('''
    import _testcapi
    # Take every dict and type watcher there is before the engine is imported.
    for add in (_testcapi.add_dict_watcher, _testcapi.add_type_watcher):
        try:
            for _ in range(64):
                add(0)
        except (RuntimeError, ValueError):
            pass
    from quarn.utils.ordalin import Or, Schema
    from quarn.utils.exceptions import SchemaError

    def accepts(data):
        try:
            for _ in range(3):   # warm, then cached
                s.validate(data)
            return True
        except SchemaError:
            return False

    schema = {'a': {'b': int}, 'c': Or(int)}
    s = Schema(schema)
    assert accepts({'a': {'b': 1}, 'c': 2})
    schema['a']['b'] = str
    assert not accepts({'a': {'b': 1}, 'c': 2}) and accepts({'a': {'b': 'x'}, 'c': 2})
    schema['c'].schemas = (str,)
    assert not accepts({'a': {'b': 'x'}, 'c': 2}) and accepts({'a': {'b': 'x'}, 'c': 'y'})
    Or.validate = lambda self, data, top=False: 'patched'
    assert s.validate({'a': {'b': 'x'}, 'c': 'y'}) == {'a': {'b': 'x'}, 'c': 'patched'}
    print('ok')
''')


def test_without_watchers_the_engine_still_sees_every_change():
    capi = pytest.importorskip('_testcapi')
    if not hasattr(capi, 'add_dict_watcher') or not hasattr(capi, 'add_type_watcher'):
        pytest.skip('this CPython has no dict and type watchers')
    done = subprocess.run([sys.executable, '-c', NO_WATCHERS_LEFT], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == 'ok', done.stdout


def _add_default(schema):
    from quarn.utils.ordalin import Default
    schema['inner']['port'] = Default(int, 22)


def _add_fallback(schema):
    from quarn.utils.ordalin import Fallback
    schema['inner']['port'] = Fallback(int, 'top')


@pytest.mark.parametrize('change, expected', [
    (_add_default, {'top': 7, 'inner': {'port': 22}}),
    (_add_fallback, {'top': 7, 'inner': {'port': 7}}),
])
def test_defaults_and_fallbacks_added_to_a_validated_schema_are_applied(change, expected):
    schema = {'top': int, 'inner': {}}
    s = Schema(schema)
    for _ in range(3):   # warm: known to have nothing to complete
        assert s.validate({'top': 7, 'inner': {}}) == {'top': 7, 'inner': {}}
    change(schema)
    assert s.validate({'top': 7, 'inner': {}}) == expected


def test_passes_patched_onto_the_class_after_warm_calls_run(monkeypatch):
    s = Schema({'a': int})
    for _ in range(3):
        s.validate({'a': 1})
    monkeypatch.setattr(Schema, 'apply_defaults', lambda self, data: {'a': 2})
    assert s.validate({'a': 1}) == {'a': 2}
    monkeypatch.undo()
    assert s.validate({'a': 1}) == {'a': 1}

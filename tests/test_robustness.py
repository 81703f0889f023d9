"""User code that raises, re-enters or mutates what the engine walks."""
import inspect
import os
import subprocess
import sys

import pytest

from quarn.utils.exceptions import (
    SchemaError, SchemaMissingKeyError, SchemaTypeError, SchemaUnsupportedKeyError)
from quarn.utils.ordalin import And, Any, Default, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


def nested(depth):
    data = leaf = {}
    for _ in range(depth):
        leaf['a'] = {}
        leaf = leaf['a']
    return data


def test_deep_data_raises_recursion_error():
    schema = {}
    schema['a'] = schema            # a schema that accepts any depth
    with pytest.raises(RecursionError):
        Schema(schema).validate(nested(100000), False)


def test_deep_schema_raises_recursion_error():
    with pytest.raises(RecursionError):
        Schema(nested(100000)).validate(nested(100000), False)


SMALL_STACK_SCRIPT = inspect.getsource(nested) + r'''
import sys, threading
from quarn.utils.ordalin import Default, Optional, Schema, Use

deep = {}
deep['a'] = deep
data = nested(100000)   # freed here: some interpreters cannot free it on a small stack
outcome = []

def run():
    schema = Schema({'a': {'b': Use(int)}, Optional('c'): Default(str, 'x')})
    for _ in range(2):  # compiled once met again
        outcome.append(schema.validate({'a': {'b': '2'}}))
    try:
        Schema(deep).validate(data, False)
    except RecursionError:
        outcome.append('RecursionError')

threading.stack_size(int(sys.argv[1]) * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(outcome)
'''


@pytest.mark.parametrize('kib', [128, 512])
def test_small_thread_stack_validates_and_still_stops_deep_data(kib):
    # The guards keep part of a small stack free, not more than all of it.
    env = dict(os.environ)
    # The leak checker's stop of all threads at exit now and then crashes in
    # its own tracer once threads on small stacks have run; the rest of the
    # suite checks this code for leaks.
    if 'ASAN_OPTIONS' in env:
        env['ASAN_OPTIONS'] += ':detect_leaks=0'
    done = subprocess.run([sys.executable, '-c', SMALL_STACK_SCRIPT, str(kib)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=120)
    expected = [{'a': {'b': 2}, 'c': 'x'}] * 2 + ['RecursionError']
    assert done.returncode == 0 and done.stdout.strip() == repr(expected), done.stdout[-3000:]


class RaisingEq(object):
    def __eq__(self, other):
        raise ValueError('eq')

    __hash__ = object.__hash__


@pytest.mark.parametrize('schema, data', [
    ({'a': RaisingEq()}, {'a': 1}),          # value schema compared
    ({RaisingEq(): int}, {'a': 1}),          # key schema compared
    (RaisingEq(), 1),
])
def test_raising_eq_propagates(schema, data):
    with pytest.raises(ValueError, match='eq'):
        Schema(schema).validate(data)


def test_raising_hash_in_data_key_propagates():
    class BadHash(object):
        calls = 0

        def __hash__(self):
            BadHash.calls += 1
            if BadHash.calls > 1:
                raise RuntimeError('hash')
            return 1
    with pytest.raises(RuntimeError):
        Schema({str: int}).validate({BadHash(): 1})


def test_callable_clearing_the_data_dict():
    data = {'a': 1, 'b': 2}

    def clear(value):
        data.clear()
        return value
    # The keys are taken before the walk; a vanished key cannot be read.
    with pytest.raises(KeyError):
        Schema({'a': clear, 'b': int}).validate(data)


def test_callable_mutating_the_schema_dict():
    schema = {}

    def grow(value):
        schema['late'] = int
        return value
    schema.update({'a': grow, str: int})
    with pytest.raises(SchemaMissingKeyError) as info:
        # 'late' becomes required once the first value ran.
        Schema(schema).validate({'a': 1, 'x': 2})
    assert info.value.missing == ['late']
    assert Schema(schema).validate({'a': 1, 'late': 2, 'x': 3}) == {'a': 1, 'late': 2, 'x': 3}


def test_callable_removing_a_schema_key_is_seen_by_later_keys():
    schema = {}

    def shrink(value):
        schema.pop(str, None)
        return value
    schema.update({'a': shrink, str: int})
    with pytest.raises(SchemaError):
        Schema(schema).validate({'a': 1, 'x': 2})


def test_reentrant_validation_of_the_same_schema():
    tree = {'n': int}
    tree[Optional('child')] = Use(lambda d: Schema(tree).validate(d))
    data = {'n': 1, 'child': {'n': 2, 'child': {'n': 3}}}
    assert Schema(tree).validate(data) == data
    with pytest.raises(SchemaTypeError) as info:
        Schema(tree).validate({'n': 1, 'child': {'n': 'x'}})
    assert info.value.path == ['n']     # the inner validation's own path


def test_or_alternative_raising_in_str():
    class BadStr(object):
        def __str__(self):
            raise RuntimeError('str')
    with pytest.raises(RuntimeError) as info:
        Or(int).validate(BadStr())
    assert isinstance(info.value.__context__, SchemaTypeError)


def test_nan_keys_and_values():
    nan = float('nan')
    assert Schema({nan: int}).validate({nan: 1}) == {nan: 1}
    with pytest.raises(SchemaError):
        Schema(nan).validate(nan)


def test_hash_equal_but_unequal_keys():
    class Same(object):
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return 7

        def __eq__(self, other):
            return isinstance(other, Same) and other.name == self.name
    a, b = Same('a'), Same('b')
    assert Schema({a: int, b: str}).validate({Same('a'): 1, Same('b'): 'x'}) == {a: 1, b: 'x'}


def test_key_added_during_the_walk_is_not_walked_but_reported():
    data = {'a': 1, 'b': 2}

    def grow(value):
        data['late'] = 3
        return value
    with pytest.raises(SchemaUnsupportedKeyError) as info:
        Schema({'a': grow, 'b': int}).validate(data)
    assert info.value.wrong_keys == {'late'}


def test_value_replaced_during_the_walk_is_read_when_reached():
    data = {'a': 1, 'b': 2}

    def replace(value):
        data['b'] = 'x'
        return value
    with pytest.raises(SchemaTypeError) as info:
        Schema({'a': replace, 'b': int}).validate(data)
    assert info.value.args == (['b'], int, 'x')


def test_nested_callable_mutating_an_outer_dict():
    data = {'a': {'n': 1}, 'b': 2, 'c': 3}

    def drop_c(value):
        del data['c']
        return value
    schema = {'a': {'n': drop_c}, 'b': int, 'c': int}
    with pytest.raises(KeyError):
        Schema(schema).validate(data)


def test_marker_data_keys_are_walked_after_plain_keys():
    marker = Optional('o')
    for data in ({marker: 1, 'x': 2}, {'x': 2, marker: 1}, {1: 0, marker: 1, 'x': 2}):
        result = Schema({Any(): int}).validate(data)
        plain = [k for k in data if k is not marker]
        assert list(result) == plain + [marker]


def test_validations_in_threads_running_python_code():
    import threading
    import time
    schema = Schema({str: {'n': Use(lambda v: time.sleep(0) or v), 'm': int}})
    data = {'k%d' % i: {'n': i, 'm': i} for i in range(200)}
    errors = []

    def work():
        try:
            for _ in range(20):
                assert schema.validate(data) == data
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)
    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_deep_data_with_a_high_recursion_limit_still_raises():
    # The engine's own frames are larger than the interpreter's: its nesting
    # is capped below what the C stack holds, whatever the limit says.
    import sys
    schema = {}
    schema[Optional('a')] = schema
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(200000)
    try:
        with pytest.raises(RecursionError):
            Schema(schema).validate(nested(100000), False)
    finally:
        sys.setrecursionlimit(old)


@pytest.mark.parametrize('wrap', [
    lambda s: Optional(s), lambda s: Or(s), lambda s: And(s), lambda s: Default(s, 1),
], ids=['Optional', 'Or', 'And', 'Default'])
def test_deep_chains_of_schema_objects_raise_recursion_error(wrap):
    schema = int
    for _ in range(100000):
        schema = wrap(schema)
    with pytest.raises(RecursionError):
        Schema(schema).validate(5, False)


def test_schema_changed_between_validations_is_seen():
    inner = {'a': int}
    schema = Schema({'x': inner, 'y': {}})
    assert schema.validate({'x': {'a': 1}, 'y': {}}) == {'x': {'a': 1}, 'y': {}}
    inner['b'] = Default(int, 2)             # a nested dict changes
    assert schema.validate({'x': {'a': 1}, 'y': {}}) == {'x': {'a': 1, 'b': 2}, 'y': {}}
    schema.schema['y']['z'] = Default(str, 'q')   # an empty dict leaf fills up
    assert schema.validate({'x': {'a': 1}, 'y': {}})['y'] == {'z': 'q'}
    del inner['b']
    schema.schema['y'].clear()
    assert schema.validate({'x': {'a': 1}, 'y': {}}) == {'x': {'a': 1}, 'y': {}}


def rename_optional(schema):
    next(k for k in schema if isinstance(k, Optional)).schema = 'new'


def add_type_key(schema):
    schema[str] = int


def replace_type_key_value(schema):
    schema[int] = str


@pytest.mark.parametrize('change, outcome', [
    (rename_optional, None), (add_type_key, None), (replace_type_key_value, SchemaTypeError)])
def test_schema_with_user_code_changed_between_validations_is_seen(change, outcome):
    # The walk that runs user code keeps what it learnt of a schema dict's
    # keys from one validation to the next; a change in between is seen.
    schema = {'n': lambda v: True, Optional('old'): int, int: int}
    data = {'n': 1, 7: 8, 'new': 2}
    with pytest.raises(SchemaUnsupportedKeyError):
        Schema(schema).validate(data)
    change(schema)
    if outcome is None:
        assert Schema(schema).validate(data) == data
    else:
        with pytest.raises(outcome):
            Schema(schema).validate(data)


class Passing(object):
    def __call__(self, value):
        return value


@pytest.mark.parametrize('make_schema', [
    lambda check: {'a': check, Optional('b'): int},
    lambda check: {'a': int, Optional(check): int},
], ids=['in a value', 'in a key'])
def test_a_dropped_schema_does_not_keep_a_users_objects_alive(make_schema):
    # What the walk keeps of a schema dict's keys from call to call must not
    # hold what the schema holds: a user's object is freed with the schema.
    import gc
    import weakref
    check = Passing()
    gone = weakref.ref(check)
    schema = make_schema(check)
    assert Schema(schema).validate({'a': 1, 'b': 2}) == {'a': 1, 'b': 2}
    del schema, check
    gc.collect()
    assert gone() is None


def test_validate_assigned_to_an_engine_class_is_honoured():
    schema = Schema({'a': Or(int)})
    assert schema.validate({'a': 1}) == {'a': 1}
    original = Or.__dict__['validate']
    Or.validate = lambda self, data, top=False: 'patched'
    try:
        assert schema.validate({'a': 1}) == {'a': 'patched'}
    finally:
        Or.validate = original
    assert schema.validate({'a': 1}) == {'a': 1}

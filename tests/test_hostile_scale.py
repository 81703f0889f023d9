"""Large inputs: a million keys, 100,000 levels of nesting, a 10,000-way Or,
a 20-wildcard Path against 1,000 known paths."""
import os
import subprocess
import sys

import pytest

from quarn.utils.exceptions import SchemaError, SchemaTypeError
from quarn.utils.ordalin import And, Any, Default, Optional, Or, Path, Schema, Use


def _defaults_ready():
    try:
        return Path((1,)) == Path((1,))
    except NotImplementedError:
        return False


needs_defaults = pytest.mark.skipif(not _defaults_ready(), reason='defaults and Path not built yet')

MILLION = 1000000


@pytest.fixture(scope='module')
def million():
    return {'k%d' % i: i for i in range(MILLION)}


def test_a_million_keys(million):
    result = Schema({str: int}).validate(million, False)
    assert result == million and result is not million
    bad = dict(million)
    bad['k999999'] = 'x'
    with pytest.raises(SchemaTypeError) as info:
        Schema({Any(): int}).validate(bad, False)
    assert info.value.args == (['k999999'], int, 'x')


def test_a_million_keys_against_one_plain_key(million):
    with pytest.raises(SchemaError) as info:
        Schema({'k0': int}).validate(million, False)
    assert info.value.args[0] == [] and len(info.value.args[1]) == MILLION - 1


DEPTH = 100000


def nested_dict(depth, leaf):
    data = leaf
    for _ in range(depth):
        data = {'a': data}
    return data


def nested(make, depth, leaf=int):
    schema = leaf
    for _ in range(depth):
        schema = make(schema)
    return schema


DEEP_RUNNER = """
import sys
from quarn.utils.ordalin import And, Optional, Or, Schema
kind = sys.argv[1]
make = {'Optional': Optional, 'And': And, 'Or': Or, 'Schema': Schema, 'dict': lambda s: {'a': s}}.get(kind)
schema = int
data = {} if kind == 'selfref' else 1
for _ in range(%d):
    if make:
        schema = make(schema)
    data = {'a': data}
if kind == 'selfref':           # one dict schema that accepts any depth
    schema = {}
    schema[Optional('a')] = schema
try:
    Schema(schema).validate(data, sys.argv[2] == 'top')
except BaseException as e:
    print(type(e).__name__)
else:
    print('returned')
"""

def outcome_in_subprocess(kind, top):
    """What validating a DEPTH-deep chain of ``kind`` gives, or how the
    interpreter died (run apart, since a crash would end the test run)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, '-c', DEEP_RUNNER % DEPTH, kind, 'top' if top else 'nested'],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, universal_newlines=True)
    return done.stdout.strip() if done.returncode == 0 else 'died with {}'.format(done.returncode)


def deep_case(kind, top):
    return pytest.param(kind, top, id='{}-{}'.format(kind, 'top' if top else 'nested'))


@pytest.mark.parametrize('kind, top', [deep_case(kind, top)
                                       for kind in ('Optional', 'And', 'Or', 'Schema', 'dict', 'selfref')
                                       for top in (False, True)])
def test_deep_schemas_raise_recursion_error(kind, top):
    assert outcome_in_subprocess(kind, top) == 'RecursionError'


def test_moderately_deep_data_under_a_self_referencing_schema():
    schema = {}
    schema[Optional('a')] = schema
    assert Schema(schema).validate(nested_dict(200, {}), False) == nested_dict(200, {})


def test_deep_text_forms_raise_recursion_error():
    with pytest.raises(RecursionError):
        str(Schema(nested(Or, DEPTH)))
    with pytest.raises(RecursionError):
        str(Schema(nested_dict(DEPTH, 1)))


WIDE = 10000


def test_a_ten_thousand_way_or():
    alternatives = Or(*range(WIDE))
    assert alternatives.validate(WIDE - 1) == WIDE - 1
    assert Schema({'a': alternatives}).validate({'a': 0}, False) == {'a': 0}
    with pytest.raises(SchemaError) as info:
        Schema({'a': alternatives}).validate({'a': -1}, False)
    assert type(info.value) is SchemaError
    assert info.value.args == (' and '.join('Schema  (int) %d does not match -1' % i for i in range(WIDE)),)


def test_a_ten_thousand_way_or_of_converters_as_a_key():
    keys = Or(*[Use(lambda k, i=i: k + i) for i in range(WIDE)])
    assert Schema({keys: int}).validate({1: 2}, False) == {1: 2}


def test_many_schema_keys_tried_for_every_data_key():
    schema = {'p%d' % i: int for i in range(WIDE)}
    schema = {Optional(k): v for k, v in schema.items()}
    schema[str] = str
    data = {'d%d' % i: 'x' for i in range(100)}
    assert Schema(schema).validate(data, False) == data


WILDCARD_RUNNER = """
import sys
from quarn.utils.ordalin import Any, Default, Path, Schema
levels, count = int(sys.argv[1]), int(sys.argv[2])
paths = [('r%d' % n,) + ('x',) * (levels - 1) for n in range(count)]
# Every expansion is known: nothing is missing.
print(Path((Any(),) * levels).missing_from(paths) == [])
# One fixed key after the wildcards: every expansion is missing.
missing = Path((Any(),) * levels + ('y',)).missing_from([p + ('z',) for p in paths])
print(sorted(missing) == sorted(p + ('y',) for p in paths))
# A default below as many wildcard levels, over as many data entries.
level = {'leaf': Default(int, 0), 'v': int}
for _ in range(levels - 1):
    level = {Any(): level}
data = {}
for n in range(count):
    node = data.setdefault('r%d' % n, {})
    for _ in range(levels - 1):
        node = node.setdefault('x', {})
    node['v'] = n
result = Schema({Any(): level}).validate(data)
node = result['r7']
for _ in range(levels - 1):
    node = node['x']
print(node == {'v': 7, 'leaf': 0})
"""

# A hang guard, not a speed check: a sound expansion takes well under a
# second here, while one that grows with the number of wildcards never ends.
HANG_GUARD_SECONDS = 30


def wildcard_outcome(levels, count):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    try:
        done = subprocess.run([sys.executable, '-c', WILDCARD_RUNNER, str(levels), str(count)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                              universal_newlines=True, timeout=HANG_GUARD_SECONDS)
    except subprocess.TimeoutExpired:
        return 'still running after {} s'.format(HANG_GUARD_SECONDS)
    return done.stdout.split() if done.returncode == 0 else done.stderr[-2000:]


@needs_defaults
def test_few_wildcards_against_a_thousand_paths():
    assert wildcard_outcome(3, 1000) == ['True', 'True', 'True']


@needs_defaults
def test_twenty_wildcards_against_a_thousand_paths():
    assert wildcard_outcome(20, 1000) == ['True', 'True', 'True']

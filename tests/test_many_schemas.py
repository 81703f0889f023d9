"""Many schemas alive and validating at once.

The engine keeps what it compiled of every schema dict it validated with,
and forgets what goes unused once there is a lot of it.  These tests hold
more schemas than that takes, change some of them between validations, and
let others go whose release runs code that validates.
"""
import gc

import pytest

from quarn.utils import ordalin
from quarn.utils.ordalin import Any, Default, Optional, Or, Schema
from quarn.utils.exceptions import SchemaMissingKeyError, SchemaTypeError

COUNT = 1500  # well past the point where the engine starts forgetting


def _schema(i):
    return {'name': str, 'port': int, Optional('vrf'): Or(str, None), 'own%d' % i: {'a': int}}


def _record(i):
    return {'name': 'r%d' % i, 'port': i, 'own%d' % i: {'a': i}}


@pytest.mark.parametrize('wrapped_per_call', [False, True])
def test_each_of_many_schemas_sees_its_own_changes(wrapped_per_call):
    dicts = [_schema(i) for i in range(COUNT)]
    schemas = [Schema(d) for d in dicts]

    def validate(i):
        return (Schema(dicts[i]) if wrapped_per_call else schemas[i]).validate(_record(i))

    for i in range(COUNT):
        assert validate(i) == _record(i)
    for i in range(0, COUNT, 3):
        dicts[i]['extra'] = int          # now required
    for i in range(1, COUNT, 3):
        dicts[i]['own%d' % i]['a'] = str  # the nested dict changes
    for i in range(COUNT):
        if i % 3 == 0:
            with pytest.raises(SchemaMissingKeyError):
                validate(i)
        elif i % 3 == 1:
            with pytest.raises(SchemaTypeError) as info:
                validate(i)
            assert info.value.location == ('own%d' % i, 'a')
        else:
            assert validate(i) == _record(i)


def test_releasing_forgotten_schemas_may_validate_again():
    probe = Schema({'x': int, Optional('y'): {'z': str}})
    results = []

    class ValidatesWhenFreed:
        def __del__(self):
            results.append(probe.validate({'x': 1, 'y': {'z': 'ok'}}))

    for i in range(3 * COUNT):
        schema = Schema({'k%d' % i: {'v': Default(Any(), ValidatesWhenFreed())}})
        assert set(schema.validate({'k%d' % i: {}})['k%d' % i]) == {'v'}
    gc.collect()
    assert results and all(r == {'x': 1, 'y': {'z': 'ok'}} for r in results)


def test_a_schema_stays_compiled_while_others_come_and_go():
    # Schema dicts made, changed and freed around a long-lived schema must
    # not make the engine compile that one again.
    kept = Schema({'name': str, 'port': int, 'own': {'a': int}})
    record = {'name': 'r', 'port': 1, 'own': {'a': 1}}
    kept.validate(record)
    before = ordalin._compilations()
    for i in range(200):
        scratch = {'x%d' % i: int}
        Schema(scratch).validate({'x%d' % i: i})
        scratch['y'] = str
        del scratch
        assert kept.validate(record) == record
    assert ordalin._compilations() - before == 200


def test_schemas_taken_in_turn_with_thousands_of_others_are_not_compiled_each_round():
    # Four rounds: once each at first, once more at most where an unused
    # schema was let go before it came back (not once a round).
    count = 3000
    pairs = [(Schema(_schema(i)), _record(i)) for i in range(count)]
    before = ordalin._compilations()
    for _ in range(4):
        for schema, record in pairs:
            schema.validate(record)
    assert ordalin._compilations() - before < 3 * count

"""Every schema exception that leaves a top-level validation says where in
the data it happened (`location`), whatever path its own schema object knew."""
import sys

import pytest

from quarn.utils.exceptions import SchemaError
from quarn.utils.ordalin import And, Any, Optional, Or, Schema, Use

pytestmark = pytest.mark.usefixtures('code_plans')


def inner_validation(value):
    return Schema({'deep': int}).validate(value)


@pytest.mark.parametrize('schema, data, location', [
    ({'interfaces': {Any(): {'mtu': Use(int)}}},
     {'interfaces': {'Gi0/0': {'mtu': '1'}, 'Gi0/1': {'mtu': 'x'}}}, ('interfaces', 'Gi0/1', 'mtu')),
    ({'a': And({'b': {'c': int}})}, {'a': {'b': {'c': 'x'}}}, ('a', 'b', 'c')),     # path is ['b', 'c']
    ({'a': {'b': Or(int, float)}}, {'a': {'b': 'x'}}, ('a', 'b')),
    ({'a': {'b': int}}, {'a': {}}, ('a',)),                                        # missing key
    # an alternative's error under other keys was swallowed first
    ({'x': Or({'p': {'q': int}}, {'r': int}), 'y': {'z': int}},
     {'x': {'r': 1}, 'y': {'z': 'bad'}}, ('y', 'z')),
    ({'outer': Use(inner_validation)}, {'outer': {'deep': 'x'}}, ('outer', 'deep')),  # a validation inside
    (int, 'x', ()),
])
@pytest.mark.parametrize('fast', [True, False])
def test_the_location_runs_from_the_top_level_data(schema, data, location, fast):
    from quarn.utils import ordalin
    was = ordalin._fast_walk(fast)
    try:
        with pytest.raises(SchemaError) as info:
            Schema(schema).validate(data)
    finally:
        ordalin._fast_walk(was)
    assert info.value.location == location
    if sys.version_info >= (3, 11) and location:
        assert info.value.__notes__ == ['location in the data: {!r}'.format(location)]


def test_args_str_and_path_stay_as_they_were():
    with pytest.raises(SchemaError) as info:
        Schema({'a': And({'b': int})}).validate({'a': {'b': 'x'}})
    assert info.value.args[0] == ['b'] and info.value.path == ['b']
    assert str(info.value) == "at ['b']: expected <class 'int'>, got 'x'"

"""Check (a predicate that keeps the data) and fallback sources given as a
tuple of keys."""
import pytest

from quarn.utils.exceptions import SchemaClassError, SchemaError, SchemaValueError
from quarn.utils.ordalin import And, Any, Fallback, Schema, Use
from quarn.utils import ordalin
from quarn.utils.ordalin import Check

pytestmark = pytest.mark.usefixtures('code_plans')


def in_range(v):
    return 1 <= v <= 4094


@pytest.mark.parametrize('schema, data, expected', [
    ({'vlan': And(Use(int), Check(in_range))}, {'vlan': '10'}, {'vlan': 10}),
    ({'ifs': {Any(): {'up': Check(bool)}}}, {'ifs': {'Gi0': {'up': 'yes'}}}, {'ifs': {'Gi0': {'up': 'yes'}}}),
    (Check(str.isdigit), '12', '12'),
])
def test_check_passes_the_data_through_unchanged(schema, data, expected):
    assert Schema(schema).validate(data) == expected


@pytest.mark.parametrize('check, text', [
    (Check(in_range), 'at [\'ifs\', \'Gi0\', \'vlan\']: expected '),
    (Check(in_range, 'VLAN ids are 1 to 4094'), "at ['ifs', 'Gi0', 'vlan']: VLAN ids are 1 to 4094, got 9999"),
])
def test_a_rejected_value_is_a_value_error_at_its_path(check, text):
    with pytest.raises(SchemaValueError) as info:
        Schema({'ifs': {Any(): {'vlan': check}}}).validate({'ifs': {'Gi0': {'vlan': 9999}}})
    assert info.value.path == ['ifs', 'Gi0', 'vlan'] and info.value.data == 9999
    assert str(info.value).startswith(text)
    assert info.value.reason == check.message


def test_a_predicate_that_raises_is_a_class_error_and_check_stays_out_of_all():
    with pytest.raises(SchemaClassError) as info:
        Schema({'v': Check(str.isdigit)}).validate({'v': 5})
    assert info.value.path == ['v'] and isinstance(info.value.__cause__, TypeError)
    assert 'Check' not in ordalin.__all__


def test_a_fallback_source_with_dots_in_its_keys_is_a_tuple():
    s = Schema({'10.0.0.1': {'port': int}, 'mgmt': {'port': Fallback(int, ('10.0.0.1', 'port'))}})
    assert s.validate({'10.0.0.1': {'port': 22}, 'mgmt': {}}) == {'10.0.0.1': {'port': 22}, 'mgmt': {'port': 22}}


@pytest.mark.parametrize('source', [['a', 'b'], 5, None])
def test_a_fallback_source_of_another_kind_is_refused_naming_its_key(source):
    with pytest.raises(SchemaError, match=r"Fallback at key path \('b',\) names its source as"):
        Schema({'a': int, 'b': Fallback(int, source)}).validate({'a': 1})

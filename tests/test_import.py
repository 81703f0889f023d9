"""Smoke test: the compiled schema engine imports and validates a flat dict."""
import pytest

from quarn.utils import ordalin
from quarn.utils.exceptions import SchemaError, SchemaTypeError


def test_extension_exports_schema():
    assert 'Schema' in ordalin.__all__
    assert isinstance(ordalin.Schema, type)


def test_valid_data_gives_a_new_equal_dict():
    data = {'a': 'x'}
    result = ordalin.Schema({'a': str}).validate(data)
    assert result == {'a': 'x'}
    assert result is not data


@pytest.mark.parametrize('data, path', [
    ({'a': 1}, ['a']),
    (5, []),
])
def test_wrong_type_reports_its_path(data, path):
    with pytest.raises(SchemaTypeError) as caught:
        ordalin.Schema({'a': str}).validate(data)
    assert isinstance(caught.value, SchemaError)
    assert caught.value.path == path

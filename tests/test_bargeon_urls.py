"""URL classification: is_local, is_remote, get_protocol and is_valid_ip."""
from unittest import mock

import pytest

from bargeon_helpers import BargeonBase, linux, registry  # noqa: F401


@pytest.fixture
def fu(linux):
    return BargeonBase(os='linux')


@pytest.mark.parametrize('url, local, protocol', [
    ('/tmp/file.txt', True, ''),
    ('file.txt', True, ''),
    ('', True, ''),
    ('file:///tmp/file.txt', True, 'file'),
    ('FILE:///tmp/file.txt', True, 'file'),
    ('ftp://server/path/file.txt', False, 'ftp'),
    ('sftp://user@10.0.0.1:22/x', False, 'sftp'),
])
def test_classification(fu, url, local, protocol):
    assert fu.is_local(url) is local
    assert fu.is_remote(url=url) is (not local)
    assert fu.get_protocol(url) == protocol


def test_urlparse_errors_propagate(fu):
    for method in (fu.is_local, fu.is_remote, fu.get_protocol):
        with pytest.raises((TypeError, AttributeError)):
            method(5)


def test_is_local_override_changes_is_remote_but_not_get_protocol(registry, linux):
    linux.is_local = lambda self, url: 'yes' if url == 'ftp://a/b' else ''
    fu = BargeonBase(os='linux')
    assert fu.is_remote('ftp://a/b') is False and fu.is_remote('/x') is True
    assert fu.get_protocol('ftp://a/b') == 'ftp'


def test_urlparse_is_read_from_the_module_at_each_call(fu):
    fake = mock.Mock(return_value=mock.Mock(scheme='file'))
    with mock.patch('quarn.utils.bargeon.bases.bargeon.urlparse', fake):
        assert fu.is_local('ftp://x/y') is True
        assert fu.get_protocol('ftp://x/y') == 'file'
    assert fake.call_count == 2
    assert fu.get_protocol('ftp://x/y') == 'ftp'


def test_base_is_valid_ip_raises_with_empty_message(fu):
    assert BargeonBase.is_valid_ip.__doc__ is None
    with pytest.raises(NotImplementedError) as info:
        fu.is_valid_ip('10.0.0.1')
    assert str(info.value) == '' and info.value.args == ()


@pytest.mark.parametrize('method', ['is_local', 'is_remote', 'get_protocol', 'is_valid_ip'])
def test_exactly_one_argument(fu, method):
    with pytest.raises(TypeError):
        getattr(fu, method)()
    with pytest.raises(TypeError):
        getattr(fu, method)('a', 'b')


def test_instance_wired_to_call_itself_gets_recursion_error(fu):
    fu.is_local = fu.is_remote
    with pytest.raises(RecursionError):
        fu.is_remote('/x')

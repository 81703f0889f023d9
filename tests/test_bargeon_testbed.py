"""Server blocks, host names and credentials looked up in the testbed."""
from unittest import mock

import pytest

from bargeon_helpers import (BargeonBase, linux, logs, plugin_class, plugin_module,  # noqa: F401
                             registry)
from quarn.topology import Device, Testbed as TopologyTestbed
from quarn.topology.credentials import DEFAULT_CRED
from quarn.utils.secret_strings import SecretString, to_plaintext

NOT_FOUND = 'Could not find details in testbed for server {}.'

SERVERS = {
    'Alpha': {'server': 'alpha.example.com', 'address': '10.0.0.1',
              'credentials': {'default': {'username': 'dflt', 'password': SecretString('dpw')},
                              'ftp': {'username': 'ftpuser', 'password': 'fpw'}},
              'username': 'top', 'password': 'toppw'},
    'beta': {'server': 'beta.example.com', 'address': ['10.0.1.1', '10.0.1.2', '10.0.1.3'],
             'username': 'bu', 'password': 'bpw'},
    'gamma': {'address': ('10.0.2.1', '10.0.2.2')},
    'delta': {'server': 'delta.example.com', 'credentials': {}, 'username': 'du'},
}


@pytest.fixture
def fu(linux):
    return BargeonBase(os='linux', testbed=TopologyTestbed.from_dict({'servers': SERVERS}))


@pytest.mark.parametrize('name, block', [
    ('Alpha', 'Alpha'),                   # direct lookup
    ('ALPHA', 'Alpha'),                   # block name ignoring case
    ('Alpha.Example.COM', 'Alpha'),       # server value ignoring case
    ('10.0.0.1', 'Alpha'),                # address string
    ('10.0.1.2', 'beta'),                 # element of an address list
    ('10.0.2.1', None),                   # tuples are not searched
    ('10.0.0', None),                     # substrings do not match
    ('', 'gamma'),                        # first block without a server value
])
def test_block_matching(fu, logs, name, block):
    expected = SERVERS[block] if block else {}
    assert fu.get_server_block(name) == expected
    warned = [m for m in logs() if m == ('WARNING', NOT_FOUND.format(name))]
    assert len(warned) == (0 if block else 1)


def test_none_searches_for_the_empty_name(linux, logs):
    fu = BargeonBase(os='linux', testbed=TopologyTestbed(servers={'a': {'server': 's', 'address': 'x'}}))
    assert fu.get_server_block(None) == {}
    assert logs()[-1] == ('WARNING', NOT_FOUND.format(''))


@pytest.mark.parametrize('testbed, name', [
    (None, 'alpha'),
    (object(), 'alpha'),                       # no servers attribute
    (TopologyTestbed(servers={'a': {}}), ['unhashable']),
])
def test_errors_before_the_scan_give_warning_and_empty_block(linux, logs, testbed, name):
    fu = BargeonBase(os='linux', testbed=testbed)
    assert fu.get_server_block(name) == {}
    assert logs()[-1] == ('WARNING', NOT_FOUND.format(name))


@pytest.mark.parametrize('bad_block_name, bad_block', [
    ('broken', {'server': None}),
    ('notamapping', 42),
    (7, {'server': 'seven'}),
])
def test_malformed_blocks_are_skipped(linux, logs, bad_block_name, bad_block):
    servers = {bad_block_name: bad_block, 'target': {'server': 'target.example.com'}}
    fu = BargeonBase(os='linux', testbed=TopologyTestbed(servers=servers))
    assert fu.get_server_block('TARGET.example.com') is servers['target']
    assert fu.get_server_block('missing') == {}
    assert [m for m in logs() if m[0] == 'WARNING'] == [('WARNING', NOT_FOUND.format('missing'))]


def test_non_string_name_is_not_found(fu, logs):
    assert fu.get_server_block(5) == {}
    assert logs() == [('WARNING', NOT_FOUND.format(5))]


@pytest.fixture
def reachable(registry):
    """A class accepting the addresses in its ``valid`` list."""
    cls = plugin_class('Reach', 'plugins.reach', valid=(),
                       is_valid_ip=lambda self, ip: ip in self.valid)
    registry.add('reach', plugin_module('plugins.reach', cls))
    return cls


@pytest.mark.parametrize('name, valid, expected', [
    ('Alpha', (), '10.0.0.1'),                     # a single address: no test
    ('beta', ('10.0.1.2', '10.0.1.3'), '10.0.1.2'),
    ('beta', (), 'beta.example.com'),
    ('gamma', ('10.0.2.2',), '10.0.2.2'),
    ('gamma', (), 'gamma'),                        # no server: the argument
    ('delta', (), 'delta.example.com'),
])
def test_hostname_from_block(reachable, name, valid, expected):
    fu = BargeonBase(os='reach', testbed=TopologyTestbed(servers=SERVERS))
    fu.valid = valid
    assert fu.get_hostname(name) == expected


def test_hostname_needs_is_valid_ip_for_address_lists(fu):
    with pytest.raises(NotImplementedError):
        fu.get_hostname('beta')


def test_address_subclass_is_not_tested_address_by_address(linux):
    class Addresses(list):
        pass
    fu = BargeonBase(os='linux', testbed=TopologyTestbed(servers={'s': {'address': Addresses(['1'])}}))
    assert fu.get_hostname('s') == ['1']


@pytest.mark.parametrize('method, result, message', [
    ('get_hostname', 'nowhere', 'No details found in testbed for hostname {}.'),
    ('get_auth', (None, None), 'No auth details found in testbed for hostname {}.'),
])
@pytest.mark.parametrize('name, level', [('nowhere', 'WARNING'), (None, 'DEBUG')])
def test_lookups_without_testbed(linux, logs, method, result, message, name, level):
    fu = BargeonBase(os='linux')
    expected = result if name else (None if method == 'get_hostname' else result)
    assert getattr(fu, method)(name) == expected
    assert logs()[-2:] == [('WARNING', NOT_FOUND.format(name or '')),
                           (level, message.format(name))]


def test_lookups_go_through_an_overridden_get_server_block(registry):
    seen = []

    def get_server_block(self, server_name_or_ip):
        seen.append(server_name_or_ip)
        return {'server': 'over.example.com', 'username': 'u', 'password': 'p'}
    cls = plugin_class('Over', 'plugins.over', get_server_block=get_server_block)
    registry.add('over', plugin_module('plugins.over', cls))
    fu = BargeonBase(os='over')
    assert fu.get_hostname('x') == 'over.example.com'
    assert fu.get_auth('y') == ('u', 'p')
    assert seen == ['x', 'y']


@pytest.fixture
def ftp_child(registry, fu):
    registry.add_sub('linux', 'ftp', plugin_module('plugins.ftp', plugin_class('Ftp', 'plugins.ftp')))
    return fu.get_child('ftp')


def test_auth_default_set_on_os_level_instance(fu):
    assert fu.get_auth('Alpha') == ('dflt', 'dpw')
    assert DEFAULT_CRED == 'default'


def test_auth_protocol_set_on_child(ftp_child):
    assert ftp_child.get_auth('10.0.0.1') == ('ftpuser', 'fpw')


@pytest.mark.parametrize('key, expected', [
    ('sftp', ('top', 'toppw')),            # no such set: the block's own, not the default
    ('proto.ftp', ('ftpuser', 'fpw')),     # last dotted piece
    ('ftp.', ('dflt', 'dpw')),             # empty last piece: the default set
])
def test_auth_set_chosen_by_abstraction_key(fu, key, expected):
    fu.abstraction_key = key
    assert fu.get_auth('Alpha') == expected


@pytest.mark.parametrize('name, expected', [
    ('beta', ('bu', 'bpw')),               # no credentials key
    ('delta', ('du', None)),               # empty credentials
])
def test_auth_falls_back_to_the_blocks_own(fu, name, expected):
    assert fu.get_auth(name) == expected


def test_only_credential_passwords_go_through_to_plaintext(fu):
    with mock.patch('quarn.utils.bargeon.bases.bargeon.to_plaintext',
                    side_effect=lambda value: 'plain:{}'.format(value)) as patched:
        assert fu.get_auth('Alpha') == ('dflt', 'plain:SecretString(<hidden>)')
        assert fu.get_auth('beta') == ('bu', 'bpw')
    assert patched.call_count == 1


def test_default_cred_is_read_at_each_call(fu):
    with mock.patch('quarn.utils.bargeon.bases.bargeon.DEFAULT_CRED', 'ftp'):
        assert fu.get_auth('Alpha') == ('ftpuser', 'fpw')


def test_non_string_abstraction_key_propagates(fu):
    fu.abstraction_key = 5
    with pytest.raises(AttributeError):
        fu.get_auth('Alpha')


@pytest.mark.parametrize('value, expected', [
    (None, None), ('pw', 'pw'), (5, 5), (SecretString('s3'), 's3'),
])
def test_to_plaintext(value, expected):
    assert to_plaintext(value) == expected


def test_secret_string_never_shows_its_value():
    secret = SecretString('hunter2')
    assert 'hunter2' not in repr(secret) and 'hunter2' not in str(secret)
    assert 'hunter2' not in '{} {!r}'.format(secret, [secret])
    assert secret == SecretString('hunter2') and secret != 'hunter2'


def test_topology_objects():
    tb = TopologyTestbed.from_dict({'servers': {'a': {'server': 'x'}}})
    dev = Device('r1', 'linux')
    assert not hasattr(dev, 'testbed')
    tb.add_device(dev)
    assert dev.testbed is tb and tb.devices == {'r1': dev}
    assert Device('r2', 'ios', testbed=None).testbed is None
    assert TopologyTestbed.from_dict({}).servers == {}
    with pytest.raises(TypeError):
        TopologyTestbed.from_dict({'servers': [1]})

"""The localhost os plugin and its ``file`` child on the local file system."""
import os
import stat
import sys
import types

import pytest

from quarn.utils.bargeon.bases import bargeon as bargeon_module
from quarn.utils.bargeon.bases.bargeon import BargeonBase
from quarn.plugins import localhost
from quarn.plugins.localhost import file as file_plugin
from quarn.plugins.localhost import ftp as ftp_plugin


def as_url(path):
    return 'file://' + str(path)


@pytest.fixture
def fu():
    with BargeonBase() as bargeon:
        yield bargeon


@pytest.fixture(params=['os-level', 'file child'])
def client(request, fu):
    """ The same operations, dispatched by the os-level object or direct. """
    return fu if request.param == 'os-level' else fu.get_child('file')


@pytest.fixture(params=[str, as_url], ids=['path', 'file-url'])
def spell(request):
    return request.param


@pytest.fixture
def sleeps(monkeypatch):
    """ Replaces the base module's ``time`` so checkfile never waits. """
    calls = []
    monkeypatch.setattr(bargeon_module, 'time',
                        types.SimpleNamespace(sleep=calls.append))
    return calls


def test_default_os_gives_the_localhost_plugin_and_its_children(fu):
    assert type(fu) is localhost.Bargeon
    assert type(fu.get_child('file')) is file_plugin.Bargeon
    assert type(fu.get_child('ftp')) is ftp_plugin.Bargeon
    assert fu.get_child('ftp').parent is fu


def test_close_releases_every_child(fu):
    fu.get_child('file'), fu.get_child('ftp')
    fu.close()
    assert fu.children == {}


def test_copyfile_into_a_file_or_a_folder_keeps_content_and_mode(
        client, spell, tmp_path):
    source = tmp_path / 'a.txt'
    source.write_bytes(b'payload')
    source.chmod(0o640)
    (tmp_path / 'out').mkdir()
    client.copyfile(spell(source), spell(tmp_path / 'b.txt'), 5)
    client.copyfile(spell(source), spell(tmp_path / 'out'), 5)
    for copy in (tmp_path / 'b.txt', tmp_path / 'out' / 'a.txt'):
        assert copy.read_bytes() == b'payload'
        assert stat.S_IMODE(copy.stat().st_mode) == 0o640


def test_dir_lists_file_urls_of_files_only(client, spell, tmp_path):
    for name in ('b.txt', 'a b.txt'):
        (tmp_path / name).write_text('x')
    (tmp_path / 'sub').mkdir()
    (tmp_path / 'sub' / 'deep.txt').write_text('x')
    assert client.dir(spell(tmp_path), 5) == [
        'file://' + str(tmp_path) + '/a%20b.txt',
        'file://' + str(tmp_path) + '/b.txt']


def test_stat_chmod_rename_delete_on_one_file(client, spell, tmp_path):
    target = tmp_path / 'f.bin'
    target.write_bytes(b'12345')
    result = client.stat(spell(target), 5)
    assert isinstance(result, os.stat_result) and result.st_size == 5
    assert client.chmod(spell(target), 0o600, 5) is None
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    client.renamefile(spell(target), spell(tmp_path / 'g.bin'), 5)
    assert not target.exists()
    client.deletefile(spell(tmp_path / 'g.bin'), 5)
    assert os.listdir(str(tmp_path)) == []


def test_getspace_is_the_free_space_in_bytes(client, spell, tmp_path):
    space = client.getspace(spell(tmp_path), 5)
    assert isinstance(space, int) and space > 0


@pytest.mark.parametrize('name, escaped', [
    ('a b.txt', 'a%20b.txt'),
    ('100%.txt', '100%25.txt'),
    pytest.param('caf\u00e9#1?.txt', 'caf%C3%A9%231%3F.txt', marks=pytest.mark.skipif(
        sys.getfilesystemencoding().lower().replace('-', '') != 'utf8', reason='file names are not UTF-8')),
    (os.fsdecode(b'raw\xff'), 'raw%FF'),   # not UTF-8: kept byte for byte
])
def test_file_urls_round_trip_any_file_name(name, escaped, tmp_path):
    url = file_plugin.file_url(str(tmp_path / name))
    assert url == 'file://' + str(tmp_path) + '/' + escaped
    assert file_plugin.local_path(url) == str(tmp_path / name)


def test_percent_escapes_in_file_urls_are_decoded(client, tmp_path):
    (tmp_path / 'a b.txt').write_bytes(b'abc')
    assert client.stat(as_url(tmp_path) + '/a%20b.txt', 5).st_size == 3


@pytest.mark.parametrize('operation', ['stat', 'deletefile'])
def test_missing_file_raises_file_not_found(client, tmp_path, operation):
    with pytest.raises(FileNotFoundError):
        getattr(client, operation)(str(tmp_path / 'missing'), 5)


@pytest.mark.parametrize('url, message', [
    ('file://otherhost/tmp/x', 'names host otherhost'),
    ('ftp://server/x', 'is remote'),
])
def test_file_child_refuses_what_is_not_local(fu, url, message, tmp_path):
    with pytest.raises(Exception, match=message):
        fu.get_child('file').copyfile(url, str(tmp_path / 'x'), 5)


def test_os_level_refuses_remote_to_remote_and_unknown_schemes(fu):
    with pytest.raises(Exception, match='between two remote URLs'):
        fu.copyfile('ftp://a/x', 'ftp://b/x', 5)
    with pytest.raises(NotImplementedError, match='key sftp'):
        fu.stat('sftp://a/x', 5)


@pytest.mark.parametrize('ip, valid', [
    ('127.0.0.1', True), ('::1', True), ('ftp.quarn.test', False),
    ('300.1.1.1', False), ('', False)])
def test_is_valid_ip_checks_the_address_form(fu, ip, valid):
    assert fu.is_valid_ip(ip) is valid
    assert fu.get_child('ftp').is_valid_ip(ip) is valid


def test_checkfile_on_an_existing_and_a_missing_file(fu, sleeps, tmp_path):
    target = tmp_path / 'f'
    target.write_bytes(b'abc')
    assert fu.checkfile(as_url(target)) is None
    assert sleeps == []
    with pytest.raises(Exception, match='Failure to check existence'):
        fu.checkfile(str(tmp_path / 'missing'), delay_seconds=0)
    assert sleeps == [0, 0, 0]


@pytest.mark.parametrize('growth, stable', [(b'', True), (b'more', False)])
def test_checkfile_stability_watches_the_length(
        fu, monkeypatch, tmp_path, growth, stable):
    target = tmp_path / 'growing'
    target.write_bytes(b'abc')

    def sleep_and_grow(seconds):
        with open(str(target), 'ab') as handle:
            handle.write(growth)
    monkeypatch.setattr(bargeon_module, 'time',
                        types.SimpleNamespace(sleep=sleep_and_grow))
    if stable:
        fu.checkfile(str(target), check_stability=True)
    else:
        with pytest.raises(Exception, match='is not stable'):
            fu.checkfile(str(target), check_stability=True)

"""Real FTP servers for the localhost plugin tests: pyftpdlib in a thread,
and vsftpd (Debian's package) as a process with a throwaway local user.

Import the fixtures into a test module (``from ftp_helpers import ...``);
pytest registers fixtures that a module imports.  ``ftp_server`` runs each
test once per server kind; vsftpd is skipped, with the reason, where the
machine cannot run it (not root, no vsftpd, useradd or PAM file for it).
"""
import atexit
import logging
import os
import pathlib
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import pytest

pyftpdlib = pytest.importorskip(
    'pyftpdlib', reason='the FTP tests need pyftpdlib (pip install pyftpdlib)')
from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import FTPHandler  # noqa: E402
from pyftpdlib.ioloop import IOLoop  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402

from quarn.topology import Testbed  # noqa: E402

USER = 'tester'
PASSWORD = 'secret-pw'
SERVER_NAME = 'ftpserver'
# Everything the client may do: list, read, write, rename, delete, chmod.
PERMISSIONS = 'elradfmwM'

logging.getLogger('pyftpdlib').setLevel(logging.WARNING)


class ServerFiles(object):
    """ What a test needs of any server: its home folder, login and URLs.

    Files a test puts in the home for the server to change go through
    `put` and `mkdir`, which give them to the server's local user.
    """
    home = port = None
    user, password = USER, PASSWORD
    owner = None   # (uid, gid) of the local user the server works as

    def url(self, path=''):
        return 'ftp://{}:{}/{}'.format(SERVER_NAME, self.port,
                                       path.lstrip('/'))

    def own(self, path):
        if self.owner is not None:
            os.chown(str(path), *self.owner)
        return path

    def put(self, name, data=b''):
        path = self.home / name
        path.write_bytes(data)
        return self.own(path)

    def mkdir(self, name):
        path = self.home / name
        path.mkdir()
        return self.own(path)

    def server_path(self, name):
        """ The absolute path by which the server knows ``name``. """
        raise NotImplementedError


class FtpServerThread(ServerFiles):
    """ Runs an FTPServer on 127.0.0.1 on a free port until ``stop``.

    The user's home is the root of the paths the server shows.
    """

    def __init__(self, home, handler_class=FTPHandler):
        authorizer = DummyAuthorizer()
        authorizer.add_user(USER, PASSWORD, str(home), perm=PERMISSIONS)
        # A subclass per server, so settings never leak between servers.
        handler = type('TestHandler', (handler_class,),
                       {'authorizer': authorizer, 'banner': 'quarn test',
                        'auth_failed_timeout': 0})
        # An event loop of its own: the default one is shared process-wide.
        self.server = FTPServer(('127.0.0.1', 0), handler, ioloop=IOLoop())
        self.port = self.server.socket.getsockname()[1]
        self.home = home
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stopping.is_set():
            self.server.serve_forever(timeout=0.02, blocking=False)
        self.server.close_all()

    def stop(self):
        """ Closes the listening socket and every connection. """
        if not self._stopping.is_set():
            self._stopping.set()
            self._thread.join(10)

    def server_path(self, name):
        return '/' + name


def vsftpd_unusable():
    """ Why vsftpd cannot run for the tests here, or None when it can. """
    if not hasattr(os, 'geteuid') or os.geteuid() != 0:
        return 'the vsftpd tests create a local user and need root'
    for tool in ('vsftpd', 'useradd', 'userdel', 'chpasswd'):
        if not find_tool(tool):
            return 'the vsftpd tests need {} (apt-get install -y vsftpd passwd)'.format(tool)
    if not os.path.exists('/etc/pam.d/vsftpd'):
        return 'the vsftpd tests need the PAM service file /etc/pam.d/vsftpd'
    if not login_shell():
        return 'the vsftpd tests need /bin/sh or /bin/bash in /etc/shells'
    return None


def find_tool(name):
    return shutil.which(name) or shutil.which(name, path='/usr/sbin:/sbin')


def login_shell():
    """ A shell that /etc/shells lists (PAM's pam_shells checks it). """
    try:
        with open('/etc/shells') as shells:
            listed = {line.strip() for line in shells}
    except OSError:
        return None
    return next((shell for shell in ('/bin/sh', '/bin/bash')
                 if shell in listed), None)


class VsftpdAccount(object):
    """ A throwaway local user with a random password and its own home.

    The folder above the home holds vsftpd's configuration; the user goes
    with `remove` (also at exit, should a test run be cut short).
    """

    def __init__(self):
        self.user = 'quarn-' + secrets.token_hex(4)
        self.password = secrets.token_urlsafe(12)
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix='quarn-vsftpd-'))
        self.folder.chmod(0o755)   # the user must reach its home below it
        self.home = self.folder / 'home'
        self.empty = self.folder / 'empty'   # vsftpd's secure_chroot_dir
        self.home.mkdir()
        self.empty.mkdir(mode=0o755)
        self.created = False
        atexit.register(self.remove)
        run_tool('useradd', '--no-create-home', '--home-dir', str(self.home),
                 '--shell', login_shell(), '--user-group', self.user)
        self.created = True
        run_tool('chpasswd', input='{}:{}\n'.format(self.user, self.password))
        import pwd
        entry = pwd.getpwnam(self.user)
        self.owner = (entry.pw_uid, entry.pw_gid)
        os.chown(str(self.home), *self.owner)

    def empty_home(self):
        for entry in list(self.home.iterdir()):
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(str(entry))
            else:
                entry.unlink()

    def remove(self):
        if self.created:
            self.created = False
            if run_tool('userdel', self.user, check=False).returncode:
                # A session that outlived its server still runs as the user.
                run_tool('userdel', '--force', self.user, check=False)
        shutil.rmtree(str(self.folder), ignore_errors=True)


def run_tool(name, *args, input=None, check=True):
    result = subprocess.run([find_tool(name)] + list(args), input=input,
                            universal_newlines=True, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if check and result.returncode:
        raise RuntimeError('{} {} failed: {}'.format(name, ' '.join(args),
                                                     result.stdout))
    return result


VSFTPD_CONFIG = """\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
chmod_enable=YES
chroot_local_user=NO
pasv_enable=YES
pasv_address=127.0.0.1
connect_from_port_20=NO
pam_service_name=vsftpd
userlist_enable=NO
seccomp_sandbox=NO
secure_chroot_dir={empty}
ssl_enable=NO
xferlog_enable=NO
syslog_enable=NO
vsftpd_log_file={log}
dirmessage_enable=NO
delay_failed_login=0
delay_successful_login=0
idle_session_timeout=60
data_connection_timeout=60
"""


class VsftpdServer(ServerFiles):
    """ vsftpd on 127.0.0.1 on a free port, as a local user not chrooted.

    The user logs in to its home, an absolute path on the machine: the
    server shows the whole file system, as servers for local users do.
    """

    def __init__(self, account, folder):
        self.account = account
        self.home = account.home
        self.user, self.password = account.user, account.password
        self.owner = account.owner
        account.empty_home()
        self.process = None
        output = ''
        for _ in range(5):   # a free port may be taken before vsftpd binds
            self.port = free_port()
            config = folder / 'vsftpd-{}.conf'.format(self.port)
            config.write_text(VSFTPD_CONFIG.format(
                port=self.port, empty=account.empty,
                log=folder / 'vsftpd.log'))
            # A process group of its own: stop ends the sessions with it.
            self.process = subprocess.Popen(
                [find_tool('vsftpd'), str(config)], stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                universal_newlines=True, start_new_session=True)
            if self.listening():
                return
            output = self.stop()
        raise RuntimeError('vsftpd did not start: {}'.format(output))

    def listening(self, seconds=10):
        """ Waits until the port accepts; False if vsftpd ended or never did. """
        end = time.monotonic() + seconds
        while time.monotonic() < end and self.process.poll() is None:
            try:
                socket.create_connection(('127.0.0.1', self.port), 1).close()
                return True
            except OSError:
                time.sleep(0.02)
        return False

    def stop(self):
        """ Ends vsftpd and its sessions; returns what it printed. """
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
        return self.process.communicate()[0]

    def server_path(self, name):
        return str(self.home / name)


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def make_testbed(ftp_password=PASSWORD, default_password='not-this-one',
                 user=USER):
    """ A testbed naming the server, with an ``ftp`` and a default set. """
    return Testbed.from_dict({'servers': {SERVER_NAME: {
        'server': 'ftp.quarn.test',
        'address': '127.0.0.1',
        'credentials': {
            'ftp': {'username': user, 'password': ftp_password},
            'default': {'username': user, 'password': default_password},
        },
    }}})


class StallingHandler(FTPHandler):
    """ Answers nothing to SIZE, MLST or RETR until ``release`` is set.

    The server runs one event loop, so the stall freezes the whole server:
    the client sees a server that stopped answering mid-session.
    """
    release = threading.Event()

    def ftp_SIZE(self, path):
        self.release.wait(10)
        return FTPHandler.ftp_SIZE(self, path)

    def ftp_MLST(self, path):
        self.release.wait(10)
        return FTPHandler.ftp_MLST(self, path)

    def ftp_RETR(self, file):
        self.release.wait(10)
        return FTPHandler.ftp_RETR(self, file)


def plain_handler_class():
    """ A handler without MLST/MLSD, so SIZE, MDTM and NLST are used. """
    commands = {name: value for name, value in FTPHandler.proto_cmds.items()
                if name not in ('MLST', 'MLSD')}
    return type('NoMlstHandler', (FTPHandler,), {'proto_cmds': commands})


class AvblHandler(FTPHandler):
    """ Adds AVBL, the free-space command some servers offer. """
    proto_cmds = dict(FTPHandler.proto_cmds, AVBL=dict(
        perm='l', auth=True, arg=None, help='Syntax: AVBL [<SP> path]'))

    def ftp_AVBL(self, path):
        import shutil
        self.respond('213 {}'.format(shutil.disk_usage(path).free))


@pytest.fixture
def ftp_home(tmp_path):
    """ The home of a pyftpdlib server that a test starts itself. """
    home = tmp_path / 'ftp-home'
    home.mkdir()
    return home


@pytest.fixture
def local_dir(tmp_path):
    folder = tmp_path / 'local'
    folder.mkdir()
    return folder


@pytest.fixture(scope='session')
def vsftpd_account():
    reason = vsftpd_unusable()
    if reason:
        # CI sets QUARN_REQUIRE_VSFTPD=1 once it has installed vsftpd, so
        # that these tests cannot be skipped there without anyone noticing.
        if os.environ.get('QUARN_REQUIRE_VSFTPD') == '1':
            pytest.fail(reason)
        pytest.skip(reason)
    account = VsftpdAccount()
    yield account
    account.remove()


def start_server(request, kind, tmp_path):
    """ A server of ``kind``: pyftpdlib (with a handler class) or vsftpd. """
    if kind == 'vsftpd':
        return VsftpdServer(request.getfixturevalue('vsftpd_account'),
                            tmp_path)
    home = tmp_path / 'pyftpdlib-home'
    home.mkdir()
    handler = plain_handler_class() if kind == 'pyftpdlib-plain' else FTPHandler
    return FtpServerThread(home, handler)


@pytest.fixture(params=['pyftpdlib', 'vsftpd'])
def ftp_server(request, tmp_path):
    """ Each server kind in turn; its files are in ``ftp_server.home``. """
    server = start_server(request, request.param, tmp_path)
    yield server
    server.stop()


@pytest.fixture
def pyftpdlib_server(ftp_home):
    """ A pyftpdlib server on ``ftp_home``, for what only it offers. """
    server = FtpServerThread(ftp_home)
    yield server
    server.stop()


@pytest.fixture
def testbed(request):
    """ A testbed with the login of the test's server fixture (if any). """
    for name in ('ftp_server', 'any_server'):
        if name in request.fixturenames:
            server = request.getfixturevalue(name)
            return make_testbed(user=server.user, ftp_password=server.password)
    return make_testbed()

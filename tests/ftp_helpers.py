"""A real FTP server (pyftpdlib) in a thread, for the localhost plugin tests.

Import the fixtures into a test module (``from ftp_helpers import ...``);
pytest registers fixtures that a module imports.
"""
import logging
import threading

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


class FtpServerThread(object):
    """ Runs an FTPServer on 127.0.0.1 on a free port until ``stop``. """

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

    def url(self, path=''):
        return 'ftp://{}:{}/{}'.format(SERVER_NAME, self.port,
                                       path.lstrip('/'))


def make_testbed(ftp_password=PASSWORD, default_password='not-this-one'):
    """ A testbed naming the server, with an ``ftp`` and a default set. """
    return Testbed.from_dict({'servers': {SERVER_NAME: {
        'server': 'ftp.quarn.test',
        'address': '127.0.0.1',
        'credentials': {
            'ftp': {'username': USER, 'password': ftp_password},
            'default': {'username': USER, 'password': default_password},
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
    home = tmp_path / 'ftp-home'
    home.mkdir()
    return home


@pytest.fixture
def local_dir(tmp_path):
    folder = tmp_path / 'local'
    folder.mkdir()
    return folder


@pytest.fixture
def ftp_server(ftp_home):
    server = FtpServerThread(ftp_home)
    yield server
    server.stop()


@pytest.fixture
def testbed():
    return make_testbed()

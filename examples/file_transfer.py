"""Copy a file into a local folder and to an FTP server, then check it there.

The example starts its own FTP server (pyftpdlib) on 127.0.0.1 on a free
port, describes it in a small testbed, and lets the default ``localhost``
bargeon pick the ``file`` or the ``ftp`` child from each URL::

    python3 -m pip install pyftpdlib
    python3 examples/file_transfer.py
"""
import logging
import os
import sys
import tempfile
import threading
from typing import Callable, Tuple

try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.ioloop import IOLoop
    from pyftpdlib.servers import FTPServer
except ImportError:
    sys.exit('This example runs its own FTP server and needs pyftpdlib: '
             'python3 -m pip install pyftpdlib')

from quarn.topology import Testbed
from quarn.utils.bargeon.bases.bargeon import BargeonBase

USER, PASSWORD = 'demo', 'demo-password'
TIMEOUT_SECONDS = 10


def start_ftp_server(home: str) -> Tuple[int, Callable[[], None]]:
    """ Serves ``home`` on 127.0.0.1 on a free port, in a daemon thread. """
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, home, perm='elradfmw')
    handler = type('DemoHandler', (FTPHandler,), {'authorizer': authorizer})
    server = FTPServer(('127.0.0.1', 0), handler, ioloop=IOLoop())
    stopping = threading.Event()

    def serve() -> None:
        while not stopping.is_set():
            server.serve_forever(timeout=0.05, blocking=False)
        server.close_all()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()

    def stop() -> None:
        stopping.set()
        thread.join(5)
    port: int = server.socket.getsockname()[1]
    return port, stop


def main() -> None:
    # A root handler keeps pyftpdlib from setting up its own chatty logging.
    logging.basicConfig(level=logging.WARNING)
    with tempfile.TemporaryDirectory() as work:
        ftp_home = os.path.join(work, 'ftp-home')
        backup = os.path.join(work, 'backup')
        os.mkdir(ftp_home)
        os.mkdir(backup)
        report = os.path.join(work, 'report.txt')
        with open(report, 'w') as handle:
            handle.write('all tests passed\n')

        port, stop_server = start_ftp_server(ftp_home)
        try:
            testbed = Testbed.from_dict({'servers': {'filesrv': {
                'address': '127.0.0.1',
                'credentials': {'ftp': {'username': USER,
                                        'password': PASSWORD}},
            }}})
            remote = 'ftp://filesrv:{}/report.txt'.format(port)
            with BargeonBase(testbed=testbed) as fu:
                fu.copyfile(report, backup, TIMEOUT_SECONDS)
                print('local copy :', fu.dir(backup, TIMEOUT_SECONDS))
                fu.copyfile(report, remote, TIMEOUT_SECONDS)
                fu.checkfile(remote, timeout_seconds=TIMEOUT_SECONDS)
                size = fu.stat(remote, TIMEOUT_SECONDS).st_size
                print('on the FTP server:', remote, '({} bytes)'.format(size))
        finally:
            stop_server()


if __name__ == '__main__':
    main()

"""The ``ftp`` child of the localhost plugin: FTP servers, through ftplib.

URLs have the form ``ftp://[user[:password]@]server[:port]/path``.  The
server name is looked up in the testbed with ``get_hostname`` (so a testbed
block name, DNS name or address all work) and the login with ``get_auth``,
which picks the block's ``ftp`` credential set on this child.  User and
password written in the URL take precedence over the testbed; a URL that
names a user without a password takes the testbed's password when the
testbed's user for that server is the same; with neither, the login is
anonymous.  ``get_auth`` called with an ftp URL answers with exactly the
login a transfer to that URL uses.  The port comes from the URL, else from
the server block's ``port`` in the testbed, else it is 21.

The path is read as RFC 1738 and curl read it: relative to the directory
the server puts the user in at login.  The ``/`` after the server only
separates; the path's segments are percent-decoded one by one and sent
joined by ``/``, as one relative path (``ftp://server/images/boot.bin``
sends ``STOR images/boot.bin``; the connection never changes directory, so
every path starts from the login directory).  An absolute path has its
leading ``/`` encoded, ``ftp://server/%2Ftmp/boot.bin`` for ``/tmp/boot.bin``
(an empty first segment, ``ftp://server//tmp/boot.bin``, means the same, as
it does for curl).  ``ftp://server/`` is the login directory itself.  A
``;type=`` suffix is ignored (transfers are always binary), and a ``;``
elsewhere belongs to the name.  The URLs that ``dir`` returns are written
the same way, so they can be passed back as they are.  A path or login
with a line break is refused: it would end the FTP command early.

One control connection is kept per child and reused by later calls to the
same server and user; ``close`` (also called by ``remove_child`` and at the
end of a ``with`` block) ends it.  A connection that broke is dropped and
the next call opens a new one.

``timeout_seconds`` bounds each whole operation: every socket wait, on the
control and on the data connection, is limited to the time that remains.
Failures raise ``Exception`` with a message that names the operation and
the URL, chained to the ftplib or socket error.
"""
import calendar
import ftplib
import itertools
import logging
import os
import posixpath
import re
import socket
import stat as stat_module
import time
from collections import namedtuple
from urllib.parse import quote, unquote, urlsplit

from . import Bargeon as LocalhostBargeon
from . import plugin_error
from . import remote_to_remote_message
from .file import local_path

__all__ = ['Bargeon']

logger = logging.getLogger(__name__)

FTP_PORT = 21
BLOCK_SIZE = 64 * 1024
# Bound on the polite QUIT at close, so closing never waits on a dead server.
QUIT_TIMEOUT_SECONDS = 1
MLST_FACTS = ('type', 'size', 'modify', 'unix.mode', 'unix.uid', 'unix.gid')

Location = namedtuple('Location', 'url server port user password path base')
Location.__doc__ = """ An ftp URL taken apart.

``server`` is the name as written in the URL (looked up in the testbed),
``base`` the ``ftp://netloc`` prefix used to build URLs of listed files.
"""


def parse_ftp_url(url):
    """ Returns the `Location` of an ``ftp://`` URL. """
    # urlsplit, not urlparse: urlparse would cut a name at its first ';'.
    parsed = urlsplit(url)
    if parsed.scheme != 'ftp':
        raise plugin_error('{} is not an ftp URL.'.format(url))
    if not parsed.hostname:
        raise plugin_error('{} names no server.'.format(url))
    try:
        port = parsed.port   # None: the testbed's, or FTP_PORT
    except ValueError as exc:
        raise plugin_error('{} has an invalid port: {}'.format(url, exc)) from exc
    location = Location(
        url=url,
        server=parsed.hostname,
        port=port,
        user=unquote(parsed.username) if parsed.username else None,
        password=(unquote(parsed.password) if parsed.password is not None
                  else None),
        path=server_path(parsed.path),
        base='ftp://' + parsed.netloc)
    if any(part and ('\r' in part or '\n' in part)
           for part in (location.user, location.password, location.path)):
        raise plugin_error('{} has a line break in its path or login.'
                           .format(url))
    return location


def is_ftp_url(text):
    """ Whether ``text`` is written as an ftp URL (``ftp://...``). """
    return isinstance(text, str) and text[:6].lower() == 'ftp://'


TYPECODE = re.compile(r';type=[aid]$', re.IGNORECASE)


def server_path(url_path):
    """ The path to send to the server for the path of an ftp URL.

    Relative to the login directory unless the first decoded segment
    starts with ``/`` (``%2F``) or is empty (``//``).
    """
    url_path = TYPECODE.sub('', url_path)
    if url_path.startswith('/'):
        url_path = url_path[1:]   # the separator after the server
    return '/'.join(unquote(segment) for segment in url_path.split('/'))


def url_path(path):
    """ The path part of an ftp URL that `server_path` reads as ``path``. """
    if path.startswith('/'):
        return '/%2F' + quote(path[1:])
    return '/' + quote(path)


def command(verb, path):
    """ ``verb path``, or ``verb`` alone for the login directory (``''``). """
    return verb + ' ' + path if path else verb


class Deadline(object):
    """ The time left for one operation; `None` seconds means no limit. """

    def __init__(self, seconds):
        self.seconds = seconds
        self.end = None if seconds is None else time.monotonic() + seconds

    def remaining(self):
        """ Seconds left, raising `socket.timeout` once none are. """
        if self.end is None:
            return None
        left = self.end - time.monotonic()
        if left <= 0:
            raise socket.timeout('timed out')
        return left

    def arm(self, ftp):
        """ Limit the next control exchange (and data connect) of ``ftp``. """
        left = self.remaining()
        ftp.timeout = left
        ftp.sock.settimeout(left)


class Bargeon(LocalhostBargeon):
    """ The seven file operations against FTP servers, with ftplib. """

    _connection = None
    _connection_key = None
    _features = {}

    # -- connection -------------------------------------------------------

    def close(self):
        """ End the FTP connection, if one is open. """
        ftp, self._connection = self._connection, None
        self._connection_key = None
        if ftp is None:
            return
        try:
            ftp.sock.settimeout(QUIT_TIMEOUT_SECONDS)
            ftp.quit()
        except (OSError, EOFError, ftplib.Error):
            pass  # the server is gone or slow; closing our side is enough
        finally:
            ftp.close()

    def get_auth(self, server_name_or_ip):
        """ Get authentication details.

        Parameters
        ----------
        server_name_or_ip : `str`
            The name or IP address of a server, or an ftp URL.

        Returns
        -------
        A tuple (username, password); each element is None when not found.
        For a name or address, the testbed's login: the server block's
        ``ftp`` credential set, else the block's own ``username`` and
        ``password``.  For an ftp URL, the login a transfer to that URL
        uses (see the module's docstring).
        """
        if is_ftp_url(server_name_or_ip):
            return self.login_for(parse_ftp_url(server_name_or_ip))
        return super().get_auth(server_name_or_ip)

    def login_for(self, location):
        """ The (user, password) to log in with for ``location``.

        The URL's user and password; for a URL with a user and no password,
        the testbed's password if the testbed names the same user; for a
        URL without a user, the testbed's login for its server.
        """
        if location.user is None:
            return self.get_auth(location.server)
        if location.password is not None:
            return location.user, location.password
        user, password = self.get_auth(location.server)
        return location.user, password if user == location.user else None

    def login_details(self, location):
        """ Returns the address and the (user, password) for ``location``. """
        return self.get_hostname(location.server), self.login_for(location)

    def server_port(self, location):
        """ The port of the URL, else the testbed block's ``port``, else 21. """
        if location.port is not None:
            return location.port
        block = self.get_server_block(location.server)
        port = block.get('port') if hasattr(block, 'get') else None
        return int(port) if port else FTP_PORT

    def session(self, location, deadline):
        """ Returns a logged-in connection for ``location``, reusing ours. """
        address, (user, password) = self.login_details(location)
        port = self.server_port(location)
        key = (address, port, user)
        if self._connection is not None:
            if key == self._connection_key and self.still_open(deadline):
                return self._connection
            self.close()
        ftp = self.connect(address, port, user, password, deadline)
        self._connection, self._connection_key = ftp, key
        return ftp

    def still_open(self, deadline):
        """ Returns `True` when the kept connection answers a NOOP. """
        try:
            deadline.arm(self._connection)
            self._connection.voidcmd('NOOP')
        except socket.timeout:
            raise
        except (OSError, EOFError, ftplib.Error):
            return False
        return True

    def connect(self, address, port, user, password, deadline):
        """ Opens and logs in a connection in binary mode. """
        logger.debug('Connecting to FTP server {}:{} as {}.'.format(
            address, port, user or 'anonymous'))
        ftp = ftplib.FTP()
        try:
            self.open_control(ftp, address, port, deadline)
            self.log_in(ftp, user, password, deadline)
        except BaseException:
            ftp.close()
            raise
        return ftp

    @staticmethod
    def open_control(ftp, address, port, deadline):
        """ Connects and reads the greeting. """
        try:
            ftp.connect(address, port, timeout=deadline.remaining())
        except socket.timeout:
            raise
        except OSError as exc:
            raise plugin_error('Cannot connect to FTP server {}:{}: {}'.format(
                address, port, exc)) from exc

    def log_in(self, ftp, user, password, deadline):
        """ Logs in, switches to binary mode and reads the features. """
        deadline.arm(ftp)
        try:
            ftp.login(user or '', password or '')
        except ftplib.error_perm as exc:
            raise plugin_error('FTP login to {}:{} as {} failed: {}'.format(
                ftp.host, ftp.port, user or 'anonymous', exc)) from exc
        deadline.arm(ftp)
        ftp.voidcmd('TYPE I')
        self._features = self.read_features(ftp, deadline)
        if 'MLST' in self._features:
            self.ask_for_facts(ftp, self._features['MLST'], deadline)

    @staticmethod
    def read_features(ftp, deadline):
        """ Returns what FEAT lists: command name (upper case) to details. """
        deadline.arm(ftp)
        try:
            reply = ftp.sendcmd('FEAT')
        except ftplib.error_perm:
            return {}
        features = {}
        for line in reply.splitlines()[1:-1]:
            name, _, details = line.strip().partition(' ')
            if name:
                features[name.upper()] = details
        return features

    @staticmethod
    def ask_for_facts(ftp, offered, deadline):
        """ Turns on the MLST facts stat uses, of those the server offers.

        Servers list the facts they offer with ``*`` after those on by
        default; the Unix mode and owner are usually off.
        """
        offered = {fact.rstrip('*').lower() for fact in offered.split(';')}
        wanted = [fact for fact in MLST_FACTS if fact in offered]
        deadline.arm(ftp)
        try:
            ftp.sendcmd('OPTS MLST ' + ''.join(f + ';' for f in wanted))
        except ftplib.error_perm:
            pass  # the default facts still give type, size and time

    def run(self, operation, url, timeout_seconds, action):
        """ Runs ``action(ftp, location, deadline)`` and reports failures.

        A refusal by the server (a 5xx reply) keeps the connection; any
        other failure drops it, so the next call starts afresh.
        """
        location = parse_ftp_url(url)
        deadline = Deadline(timeout_seconds)
        try:
            return action(self.session(location, deadline), location,
                          deadline)
        except ftplib.error_perm as exc:
            raise plugin_error('FTP {} of {} failed: {}'.format(
                operation, url, exc)) from exc
        except socket.timeout as exc:
            self.close()
            raise plugin_error('FTP {} of {} timed out after {} seconds.'.format(
                operation, url, timeout_seconds)) from exc
        except (OSError, EOFError, ftplib.Error) as exc:
            self.close()
            raise plugin_error('FTP {} of {} failed: {}'.format(
                operation, url, str(exc) or type(exc).__name__)) from exc

    # -- data transfers ---------------------------------------------------

    @staticmethod
    def transfer(ftp, command, deadline, move_data):
        """ Runs one data-connection command; ``move_data(conn)`` does I/O. """
        deadline.arm(ftp)
        conn = ftp.transfercmd(command)
        try:
            move_data(conn)
        finally:
            conn.close()
        deadline.arm(ftp)
        ftp.voidresp()

    @staticmethod
    def receive_into(sink, deadline):
        def move_data(conn):
            while True:
                conn.settimeout(deadline.remaining())
                data = conn.recv(BLOCK_SIZE)
                if not data:
                    return
                sink(data)
        return move_data

    @staticmethod
    def send_from(source_file, deadline):
        def move_data(conn):
            while True:
                data = source_file.read(BLOCK_SIZE)
                if not data:
                    return
                conn.settimeout(deadline.remaining())
                conn.sendall(data)
        return move_data

    def lines_of(self, ftp, command, deadline):
        chunks = []
        self.transfer(ftp, command, deadline,
                      self.receive_into(chunks.append, deadline))
        return b''.join(chunks).decode(ftp.encoding, 'replace').splitlines()

    # -- operations -------------------------------------------------------

    def copyfile(self, source, destination, timeout_seconds, *args, **kwargs):
        """ Copy a single file.

        Uploads a local ``source`` to an ftp ``destination`` or downloads an
        ftp ``source`` to a local ``destination``.  An ftp destination that
        ends in ``/``, or a local destination that is a folder, receives the
        file under its own name.  A download goes to a temporary file that
        replaces the destination only once complete.

        Raises
        ------
        Exception
            When both or neither side are remote, or the transfer fails.
        """
        source_remote = self.is_remote(source)
        destination_remote = self.is_remote(destination)
        if source_remote and destination_remote:
            raise plugin_error(remote_to_remote_message(source, destination))
        if not (source_remote or destination_remote):
            raise plugin_error(
                'The ftp bargeon copies between a local file and an ftp URL; '
                'neither {} nor {} is remote.'.format(source, destination))
        if destination_remote:
            return self.upload(local_path(source), destination,
                               timeout_seconds)
        return self.download(source, local_path(destination), timeout_seconds)

    def upload(self, path, url, timeout_seconds):
        def action(ftp, location, deadline):
            remote = location.path
            if not remote or remote.endswith('/'):
                remote += os.path.basename(path)
            self.transfer(ftp, 'STOR ' + remote, deadline,
                          self.send_from(local_file, deadline))

        with open(path, 'rb') as local_file:
            self.run('upload', url, timeout_seconds, action)

    def download(self, url, path, timeout_seconds):
        remote_name = posixpath.basename(parse_ftp_url(url).path)
        if os.path.isdir(path):
            path = os.path.join(path, remote_name)
        partial = partial_name(path)
        # A new file (mode 0o666 less the umask) that no one else writes.
        handle = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)

        def action(ftp, location, deadline):
            self.transfer(ftp, command('RETR', location.path), deadline,
                          self.receive_into(local_file.write, deadline))

        try:
            with os.fdopen(handle, 'wb') as local_file:
                self.run('download', url, timeout_seconds, action)
            os.replace(partial, path)
        except BaseException:
            os.remove(partial)
            raise

    def dir(self, target, timeout_seconds, *args, **kwargs):
        """ Retrieve filenames contained in a directory.

        Uses ``MLSD`` where the server offers it, else ``NLST`` with a
        ``SIZE`` probe per name to leave folders out.

        Returns
        -------
        `list` of `str`
            ftp URLs of the files directly inside ``target``, in name order.
        """
        def action(ftp, location, deadline):
            if 'MLST' in self._features:
                names = self.file_names_by_mlsd(ftp, location.path, deadline)
            else:
                names = self.file_names_by_nlst(ftp, location.path, deadline)
            return [location.base + url_path(posixpath.join(location.path, name))
                    for name in sorted(names)]

        return self.run('dir', target, timeout_seconds, action)

    def file_names_by_mlsd(self, ftp, path, deadline):
        names = []
        for line in self.lines_of(ftp, command('MLSD', path), deadline):
            facts, _, name = line.partition(' ')
            if parse_facts(facts).get('type') == 'file':
                names.append(name)
        return names

    def file_names_by_nlst(self, ftp, path, deadline):
        names = []
        for entry in self.lines_of(ftp, command('NLST', path), deadline):
            name = posixpath.basename(entry.rstrip('/'))
            deadline.arm(ftp)
            try:
                ftp.size(posixpath.join(path, name))
            except ftplib.error_perm:
                continue  # a folder, or nothing SIZE can measure
            names.append(name)
        return names

    def stat(self, target, timeout_seconds, *args, **kwargs):
        """ Retrieve file details such as length and permissions.

        Built from the server's ``MLST`` facts where offered (size, time,
        ``unix.mode`` and owner when listed), else from ``SIZE`` and
        ``MDTM``; details the server does not give are 0.

        Returns
        -------
        `os.stat_result`

        Raises
        ------
        Exception
            When the file is missing or the timeout is exceeded.
        """
        def action(ftp, location, deadline):
            if 'MLST' in self._features:
                return self.stat_by_mlst(ftp, location.path, deadline)
            return self.stat_by_size(ftp, location.path, deadline)

        return self.run('stat', target, timeout_seconds, action)

    @staticmethod
    def stat_by_mlst(ftp, path, deadline):
        deadline.arm(ftp)
        reply = ftp.sendcmd(command('MLST', path))
        fact_lines = [line for line in reply.splitlines()[1:]
                      if line.startswith(' ')]
        if not fact_lines:
            raise ftplib.error_reply(reply)
        facts = parse_facts(fact_lines[0].strip().partition(' ')[0])
        kind = stat_module.S_IFDIR if facts.get('type') in (
            'dir', 'cdir', 'pdir') else stat_module.S_IFREG
        mtime = ftp_time(facts['modify']) if 'modify' in facts else 0
        return make_stat(mode=kind | int(facts.get('unix.mode', '0'), 8),
                         size=int(facts.get('size', 0)), mtime=mtime,
                         uid=int(facts.get('unix.uid', 0)),
                         gid=int(facts.get('unix.gid', 0)))

    @staticmethod
    def stat_by_size(ftp, path, deadline):
        deadline.arm(ftp)
        size = ftp.size(path)
        deadline.arm(ftp)
        try:
            mtime = ftp_time(ftp.sendcmd(command('MDTM', path)).split()[1])
        except ftplib.error_perm:
            mtime = 0  # the server keeps no (or will not tell) times
        return make_stat(mode=stat_module.S_IFREG, size=size, mtime=mtime)

    def chmod(self, target, mode, timeout_seconds, *args, **kwargs):
        """ Change file permissions

        Sends ``SITE CHMOD`` with the permission bits of ``mode``.
        """
        def action(ftp, location, deadline):
            deadline.arm(ftp)
            ftp.voidcmd('SITE CHMOD {:o} {}'.format(mode & 0o7777,
                                                    location.path))

        self.run('chmod', target, timeout_seconds, action)

    def deletefile(self, target, timeout_seconds, *args, **kwargs):
        """ Delete a file """
        def action(ftp, location, deadline):
            deadline.arm(ftp)
            ftp.delete(location.path)

        self.run('deletefile', target, timeout_seconds, action)

    def renamefile(self, source, destination, timeout_seconds,
                   *args, **kwargs):
        """ Rename a file

        ``destination`` is an ftp URL on the same server, or a path on it.
        """
        new_path = destination
        if self.is_remote(destination):
            new = parse_ftp_url(destination)
            old = parse_ftp_url(source)
            if (new.server, new.port) != (old.server, old.port):
                raise plugin_error(
                    'Cannot rename {} to {}: both must be on the same server.'
                    .format(source, destination))
            new_path = new.path

        def action(ftp, location, deadline):
            deadline.arm(ftp)
            ftp.rename(location.path, new_path)

        self.run('renamefile', source, timeout_seconds, action)

    def getspace(self, target, timeout_seconds, *args, **kwargs):
        """get the available disk space from the file server, in bytes.

        Asks with ``AVBL``, the one FTP command for free space; servers
        that do not know it give a clear ``Exception``.

        Returns
        -------
        `int`
        """
        def action(ftp, location, deadline):
            deadline.arm(ftp)
            try:
                reply = ftp.sendcmd(command('AVBL', location.path))
            except ftplib.error_perm as exc:
                raise plugin_error(
                    'The FTP server of {} does not report free space (AVBL): '
                    '{}'.format(target, exc)) from exc
            return int(reply.split()[1])

        return self.run('getspace', target, timeout_seconds, action)


def parse_facts(text):
    """ Returns the MLST facts ``a=1;b=2;`` as a lower-case-keyed dict. """
    facts = {}
    for fact in text.split(';'):
        name, sep, value = fact.partition('=')
        if sep:
            facts[name.lower()] = value
    return facts


def ftp_time(text):
    """ Returns the epoch seconds of an FTP ``YYYYMMDDHHMMSS[.sss]`` time. """
    whole, _, fraction = text.partition('.')
    seconds = calendar.timegm(time.strptime(whole, '%Y%m%d%H%M%S'))
    return seconds + (float('0.' + fraction) if fraction else 0)


def partial_name(path):
    """ Returns the hidden name a download is written to until complete. """
    folder, name = os.path.split(os.path.abspath(path))
    return os.path.join(folder, '.{}.{}-{}.part'.format(
        name, os.getpid(), next(_partial_counter)))


_partial_counter = itertools.count()


def make_stat(mode, size, mtime, uid=0, gid=0):
    return os.stat_result((mode, 0, 0, 1, uid, gid, size,
                           mtime, mtime, mtime))

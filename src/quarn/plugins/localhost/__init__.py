"""The ``localhost`` bargeon plugin: file transfers run from this machine.

``BargeonBase()`` (os ``localhost``, the default) returns the ``Bargeon``
object below.  It hands every file operation to the child that knows the
URL's scheme, so callers can use it directly::

    fu = BargeonBase(testbed=testbed)
    fu.copyfile('/tmp/report.txt', 'ftp://ftpserver/upload/report.txt', 30)
    fu.checkfile('ftp://ftpserver/upload/report.txt')

or ask for a child themselves (``fu.get_child('ftp')``).  Children shipped:

* ``file`` (:mod:`.file`): plain paths and ``file://`` URLs;
* ``ftp`` (:mod:`.ftp`): ``ftp://`` URLs, through :mod:`ftplib`.
"""
import ipaddress

from quarn.utils.bargeon.bases.bargeon import BargeonBase
from quarn.utils.secret_strings import redact_urls


def plugin_error(message):
    """The Exception a plugin raises with ``message``, URL passwords hidden."""
    return Exception(redact_urls(message))


__all__ = ['Bargeon']

# Plain paths have no scheme; they are served by the ``file`` child.
LOCAL_KEY = 'file'


class Bargeon(BargeonBase):
    """ File transfers from localhost, dispatched to a child per URL scheme.

    Every operation picks its child from the scheme of its URLs: a plain path
    or a ``file://`` URL goes to the ``file`` child, any other scheme to the
    child of that name (``ftp``).  ``copyfile`` uses the scheme of its remote
    side, so a local-to-FTP or FTP-to-local copy goes to the ``ftp`` child;
    a copy between two remote URLs is refused.  A scheme no child implements
    raises the ``NotImplementedError`` of ``get_child``.

    ``close`` (and the end of a ``with`` block) closes and forgets every
    child, which releases their connections.
    """

    def is_valid_ip(self, ip):
        """ Returns `True` if ``ip`` is a well-formed IPv4 or IPv6 address.

        Only the form is checked, not reachability: a testbed's address list
        is tried in order, and an address that cannot be reached gives a
        clear connection error at the first transfer.
        """
        try:
            ipaddress.ip_address(str(ip))
        except ValueError:
            return False
        return True

    def get_auth(self, server_name_or_ip):
        """ Get authentication details.

        Parameters
        ----------
        server_name_or_ip : `str`
            The name or IP address of a server, or a remote URL.

        Returns
        -------
        A tuple (username, password); each element is None when not found.
        For a name or address, the testbed's login as this os-level object
        finds it: the server block's ``default`` credential set, else the
        block's own ``username`` and ``password`` (a child finds the set
        named after its scheme, as ``get_child('ftp').get_auth(name)``).
        For a remote URL, the child of its scheme answers, with the login a
        transfer to that URL uses: ``get_auth('ftp://lab-ftp/x')``.
        """
        if (self.parent is None and isinstance(server_name_or_ip, str)
                and '://' in server_name_or_ip
                and self.is_remote(server_name_or_ip)):
            return self.child_for(server_name_or_ip).get_auth(
                server_name_or_ip)
        return super().get_auth(server_name_or_ip)

    def child_key(self, url):
        """ Returns the key of the child that serves ``url``. """
        return self.get_protocol(url) or LOCAL_KEY

    def child_for(self, url):
        """ Returns the (cached) child that serves ``url``. """
        return self.get_child(self.child_key(url))

    def copy_child(self, source, destination):
        """ Returns the child that copies ``source`` to ``destination``.

        The remote side decides; two local sides go to the ``file`` child.
        """
        if self.is_remote(source) and self.is_remote(destination):
            raise plugin_error(remote_to_remote_message(source, destination))
        remote = source if self.is_remote(source) else destination
        return self.child_for(remote)

    def close(self):
        """ Close and forget every child, releasing their connections. """
        for key in list(self.children):
            self.remove_child(key)

    def copyfile(self, source, destination, timeout_seconds, *args, **kwargs):
        """ Copy a single file.

        Parameters
        ----------
        source : `str`
            URL or path of the file to copy.
        destination : `str`
            URL or path to copy to; an existing folder (or a URL ending in
            ``/``) receives the file under its own name.
        timeout_seconds : `int`
            The longest time the copy may take.

        Raises
        ------
        Exception
            When both sides are remote: copy to a local file first.
        """
        child = self.copy_child(source, destination)
        return child.copyfile(source, destination, timeout_seconds,
                              *args, **kwargs)

    def dir(self, target, timeout_seconds, *args, **kwargs):
        """ Retrieve filenames contained in a directory.

        Returns
        -------
        `list` of `str`
            URLs of the files (not folders) directly inside ``target``.
        """
        return self.child_for(target).dir(target, timeout_seconds,
                                          *args, **kwargs)

    def stat(self, target, timeout_seconds, *args, **kwargs):
        """ Retrieve file details such as length and permissions.

        Returns
        -------
        `os.stat_result`

        Raises
        ------
        Exception
            When the file is missing or the timeout is exceeded.
        """
        return self.child_for(target).stat(target, timeout_seconds,
                                           *args, **kwargs)

    def chmod(self, target, mode, timeout_seconds, *args, **kwargs):
        """ Change file permissions

        ``mode`` has the form of `os.chmod` (for example ``0o644``).
        """
        return self.child_for(target).chmod(target, mode, timeout_seconds,
                                            *args, **kwargs)

    def deletefile(self, target, timeout_seconds, *args, **kwargs):
        """ Delete a file """
        return self.child_for(target).deletefile(target, timeout_seconds,
                                                 *args, **kwargs)

    def renamefile(self, source, destination, timeout_seconds,
                   *args, **kwargs):
        """ Rename a file

        The child of ``source`` renames it; ``destination`` is a path or a
        URL on the same server.
        """
        return self.child_for(source).renamefile(
            source, destination, timeout_seconds, *args, **kwargs)

    def getspace(self, target, timeout_seconds, *args, **kwargs):
        """get the available disk space from the file server, in bytes.

        Returns
        -------
        `int`
            Free bytes for the folder ``target``.
        """
        return self.child_for(target).getspace(target, timeout_seconds,
                                               *args, **kwargs)


def remote_to_remote_message(source, destination):
    return ("Cannot copy {} to {}: copying between two remote URLs is not "
            "supported; copy to a local file first, then from it."
            .format(source, destination))

"""The ``file`` child of the localhost plugin: the local file system.

Accepts plain paths and ``file://`` URLs (``file:///tmp/a.txt`` or
``file://localhost/tmp/a.txt``; percent-escapes are decoded).  Local
operations finish without waiting on anything remote, so ``timeout_seconds``
is accepted and not enforced.
"""
import os
import shutil
import sys
from urllib.parse import quote, unquote, urlparse

from . import Bargeon as LocalhostBargeon
from . import plugin_error

__all__ = ['Bargeon']

LOCAL_HOSTS = ('', 'localhost')


def local_path(url):
    """ Returns the file-system path of a plain path or ``file://`` URL. """
    parsed = urlparse(url)
    if not parsed.scheme:
        return url
    if parsed.scheme != 'file':
        raise plugin_error('{} is not a local file URL or path.'.format(url))
    if parsed.netloc not in LOCAL_HOSTS:
        raise plugin_error('{} names host {}; only local files are served here.'
                        .format(url, parsed.netloc))
    # The bytes of the name, as the file system encodes them: any name that
    # file_url wrote comes back unchanged.
    return unquote(parsed.path, encoding=sys.getfilesystemencoding(),
                   errors=sys.getfilesystemencodeerrors())


def file_url(path):
    """ Returns the ``file://`` URL of a local path (``file:///tmp/a%20b.txt``).

    Built here rather than with ``urllib.request.pathname2url``, whose result
    for an absolute path gained a leading ``//`` in CPython 3.14.
    """
    return 'file://' + quote(os.fsencode(os.path.abspath(path)))


class Bargeon(LocalhostBargeon):
    """ The seven file operations on the local file system. """

    def close(self):
        """ Nothing is held open between calls. """

    def copyfile(self, source, destination, timeout_seconds, *args, **kwargs):
        """ Copy a single file.

        Copies the content and the permission bits.  A ``destination`` that
        is an existing folder receives the file under its own name.

        Raises
        ------
        Exception
            When either side is not local.
        OSError
            When the source is missing or the destination cannot be written.
        """
        for url in (source, destination):
            if self.is_remote(url):
                raise plugin_error(
                    'The file bargeon copies local files only; {} is remote '
                    '(use the {} child).'.format(url, self.get_protocol(url)))
        shutil.copy(local_path(source), local_path(destination))

    def dir(self, target, timeout_seconds, *args, **kwargs):
        """ Retrieve filenames contained in a directory.

        Returns
        -------
        `list` of `str`
            ``file://`` URLs of the files directly inside ``target``, in
            name order; folders are left out.
        """
        folder = local_path(target)
        with os.scandir(folder) as entries:
            names = sorted(entry.path for entry in entries if entry.is_file())
        return [file_url(name) for name in names]

    def stat(self, target, timeout_seconds, *args, **kwargs):
        """ Retrieve file details such as length and permissions.

        Returns
        -------
        `os.stat_result`

        Raises
        ------
        FileNotFoundError
            When ``target`` does not exist.
        """
        return os.stat(local_path(target))

    def chmod(self, target, mode, timeout_seconds, *args, **kwargs):
        """ Change file permissions """
        os.chmod(local_path(target), mode)

    def deletefile(self, target, timeout_seconds, *args, **kwargs):
        """ Delete a file """
        os.remove(local_path(target))

    def renamefile(self, source, destination, timeout_seconds,
                   *args, **kwargs):
        """ Rename a file

        ``destination`` is the new path (or ``file://`` URL); an existing
        file of that name is replaced.
        """
        os.replace(local_path(source), local_path(destination))

    def getspace(self, target, timeout_seconds, *args, **kwargs):
        """get the available disk space from the file server, in bytes.

        Returns
        -------
        `int`
            Bytes free for an unprivileged user on the file system that
            holds ``target``.
        """
        return shutil.disk_usage(local_path(target)).free

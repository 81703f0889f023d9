"""Build script: the quarn package with its two C++17 extension modules.

Kept in setup.py (not only pyproject metadata) so that one setuptools build
works from CPython 3.6 to 3.15.  ``QUARN_EXTENSIONS=ordalin`` (or ``bargeon``)
restricts the build to one extension; ``QUARN_CFLAGS`` adds compiler flags
(the sanitizer build uses it).
"""
import glob
import os
import platform
import shlex
import shutil
import tempfile

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def cpp_sources(folder):
    return sorted(glob.glob(os.path.join('src', 'cpp', folder, '*.cpp')))


def extension(name, folder):
    extra = shlex.split(os.environ.get('QUARN_CFLAGS', ''))
    return Extension(
        name,
        sources=cpp_sources(folder),
        include_dirs=[os.path.join('src', 'cpp', 'common'),
                      os.path.join('src', 'cpp', folder)],
        depends=glob.glob(os.path.join('src', 'cpp', '*', '*.hpp')),
        language='c++',
        extra_compile_args=['-std=c++17', '-fvisibility=hidden',
                            '-Wall', '-Wextra', '-Wno-missing-field-initializers',
                            '-Wno-cast-function-type'] + extra,
        extra_link_args=extra,
    )


# The assembler pads jumps so that none crosses or ends on a 32-byte
# boundary: on x86-64 cores of the Skylake line such a jump runs slowly, and
# a tight loop of the walks would be fast or slow by where its code happened
# to land (seen as a 15 % swing of the flat {str: int} check).
ALIGNED_JUMPS = '-Wa,-mbranches-within-32B-boundaries'


def accepts(compiler, flag):
    """Whether `compiler` compiles a trivial file with `flag`."""
    folder = tempfile.mkdtemp()
    source = os.path.join(folder, 'probe.cpp')
    with open(source, 'w') as f:
        f.write('int probe(int x) { return x ? probe(x - 1) : 0; }\n')
    try:
        compiler.compile([source], output_dir=folder, extra_postargs=[flag])
    except Exception:
        return False
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return True


class BuildExt(build_ext):
    def build_extensions(self):
        if (platform.machine().lower() in ('x86_64', 'amd64') and self.compiler.compiler_type == 'unix'
                and accepts(self.compiler, ALIGNED_JUMPS)):
            for ext in self.extensions:
                ext.extra_compile_args.append(ALIGNED_JUMPS)
        build_ext.build_extensions(self)


EXTENSIONS = {
    'ordalin': ('quarn.utils.ordalin', 'ordalin'),
    'bargeon': ('quarn.utils.bargeon.bases.bargeon', 'bargeon'),
}
# The FTP server the examples and the tests start (2.x needs 3.7).
FTP_SERVER = ['pyftpdlib; python_version >= "3.7"', 'pyftpdlib<2; python_version < "3.7"']
# The property tests of json_schema().  jsonschema 4 (draft 2020-12) needs
# 3.7; from 4.18 on it needs rpds-py, a Rust extension that may have no
# wheel yet for the newest interpreters, so those get the last release
# without it.
PROPERTY_TESTS = [
    'hypothesis; python_version >= "3.7"',
    'hypothesis<6.32; python_version < "3.7"',
    'jsonschema>=4; python_version >= "3.7" and python_version < "3.14"',
    'jsonschema>=4,<4.18; python_version >= "3.14"',
    'jsonschema<4; python_version < "3.7"',
]


def wanted_extensions():
    """The extensions named by QUARN_EXTENSIONS (default: all) that have sources.

    A folder without .cpp files is skipped, so the package still builds while
    an extension is being written.
    """
    names = os.environ.get('QUARN_EXTENSIONS', ','.join(EXTENSIONS)).split(',')
    return [extension(*EXTENSIONS[name]) for name in names
            if name in EXTENSIONS and cpp_sources(EXTENSIONS[name][1])]


with open(os.path.join(HERE, 'README.md')) as readme:
    long_description = readme.read()

setup(
    name='quarn',
    version='0.1.0',
    description='Schema validation and file-transfer client base for test automation',
    long_description=long_description,
    long_description_content_type='text/markdown',
    python_requires='>=3.6, <3.16',
    classifiers=[
        'Programming Language :: C++',
        'Programming Language :: Python :: 3',
        'Programming Language :: Python :: 3 :: Only',
        'Programming Language :: Python :: Implementation :: CPython',
    ] + ['Programming Language :: Python :: 3.{}'.format(minor) for minor in range(6, 16)],
    package_dir={'': 'src'},
    packages=find_packages('src'),
    package_data={'': ['*.pyi', 'py.typed']},
    ext_modules=wanted_extensions(),
    cmdclass={'build_ext': BuildExt},
    install_requires=['importlib_metadata; python_version < "3.8"'],
    extras_require={
        'examples': FTP_SERVER,
        # mypy checks the README's code with --strict; it installs on 3.8+.
        'test': ['pytest>=7.0; python_version >= "3.7"',
                 'pytest==7.0.1; python_version < "3.7"',
                 'mypy; python_version >= "3.8"'] + FTP_SERVER + PROPERTY_TESTS,
        'bench': ['pydantic>=2; python_version >= "3.8"', 'msgspec; python_version >= "3.8"', 'voluptuous'],
        # quarn-validate: a progress bar on a terminal, --dask (Dask runs on 3.9+).
        'progress': ['tqdm'],
        'dask': ['dask[distributed]; python_version >= "3.9"'],
        'yaml': ['pyyaml'],
    },
    entry_points={
        'quarn.bargeon.plugins': ['localhost = quarn.plugins.localhost'],
        'console_scripts': ['quarn-validate = quarn.cli:run'],
    },
    zip_safe=False,
)

"""``python -m quarn SCHEMA DATA...``: the ``quarn-validate`` command."""
from quarn.cli import run

if __name__ == '__main__':
    run()

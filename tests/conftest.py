"""The ``code_plans`` fixture: a test that uses it runs twice, as a program
meets a schema dict with a user's code in it for the first time (the walk
without a compiled plan) and as it meets one again (the walk that goes by
the dict's plan, dispatching the user's code from it)."""
import pytest

from quarn.utils import ordalin


@pytest.fixture(params=[False, True], ids=['first-met', 'met-again'])
def code_plans(request):
    was = ordalin._code_plans_at_once(request.param)
    yield request.param
    ordalin._code_plans_at_once(was)

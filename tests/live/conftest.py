import asyncio

import pytest
from ibsim import Gateway


@pytest.fixture
def loop():
    """ib_async's synchronous calls run on the thread's current event loop."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    yield loop
    loop.close()
    asyncio.set_event_loop(None)


@pytest.fixture
def gateway(loop):
    gw = Gateway()
    yield gw
    gw.connected = False


@pytest.fixture
def ledger(mgr):
    from marlovent.ledger import Ledger

    return Ledger(mgr)

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
settings.load_profile("default")



@pytest.fixture(scope="session")
def om():
    import marlovent.ordermgr as module

    return module


@pytest.fixture
def restore_module_attrs(om):
    """Put back any module attribute a test replaces (the clock, the store class)."""
    saved = dict(vars(om))
    yield
    for name, value in saved.items():
        setattr(om, name, value)


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("QUENTARIS_DATA_DIR", str(tmp_path))
    return tmp_path


@pytest.fixture
def mgr(om, data_dir):
    m = om.OrderMgr("test book")
    yield m
    m.positions.clear()

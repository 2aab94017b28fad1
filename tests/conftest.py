import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
settings.load_profile("default")

BACKENDS = ("sqlite", "postgresql")


def pytest_configure(config):
    config.addinivalue_line("markers", "sqlite_only: a test of what only the SQLite store has (its files)")


def pytest_generate_tests(metafunc):
    """Every test that asks for `backend` (through `prefix` or `data_dir`)
    runs against both stores, unless marked sqlite_only."""
    if "backend" in metafunc.fixturenames and not metafunc.definition.get_closest_marker("sqlite_only"):
        metafunc.parametrize("backend", BACKENDS, indirect=True)


@pytest.fixture
def backend(request):
    return getattr(request, "param", "sqlite")


@pytest.fixture(scope="session")
def pg_server():
    """One throwaway PostgreSQL server for the whole run."""
    from pg_server import PgServer, bin_dir

    if bin_dir() is None:
        pytest.skip("PostgreSQL is not installed (make test installs it)")
    server = PgServer()
    server.start()
    yield server
    server.remove()


@pytest.fixture
def pg_uri(request, backend):
    """For the postgresql backend: a URI whose tables live in a schema of this test's own."""
    if backend != "postgresql":
        return None
    return request.getfixturevalue("pg_server").schema_uri()


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
def any_data_dir(tmp_path, monkeypatch, pg_uri):
    """QUENTARIS_DATA_DIR for either store: a directory, or a server URI."""
    value = pg_uri or str(tmp_path)
    monkeypatch.setenv("QUENTARIS_DATA_DIR", value)
    return value


@pytest.fixture
def mgr(om, data_dir):
    m = om.OrderMgr("test book")
    yield m
    m.positions.clear()

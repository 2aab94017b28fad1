import pytest


@pytest.fixture
def data_dir(any_data_dir):
    """The order manager's tests run against both stores."""
    return any_data_dir

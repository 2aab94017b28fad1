import pytest
from cli_support import Tool


@pytest.fixture
def tool(tmp_path):
    return Tool(tmp_path / "data", tmp_path / "home")


@pytest.fixture
def write(tmp_path):
    def write(name: str, text: str) -> str:
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        return str(path)

    return write

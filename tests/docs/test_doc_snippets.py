"""The README's, docs/cli.md's and docs/store.md's snippets run as written and
print what they say."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
CLI_DOC = ROOT / "docs" / "cli.md"
STORE_DOC = ROOT / "docs" / "store.md"
LEDGER_DOC = ROOT / "docs" / "ledger.md"


def blocks(path, lang):
    return re.findall(rf"^ *```{lang}\n(.*?)^ *```", path.read_text(encoding="utf-8"), re.S | re.M)


def dedent(block):
    lines = block.splitlines()
    indent = min((len(x) - len(x.lstrip()) for x in lines if x.strip()), default=0)
    return "\n".join(x[indent:] for x in lines) + "\n"


def expected_outputs(code):
    """Comments that state what a print shows: after `print(...)` on its line,
    or the comment lines right after a line that prints."""
    out, after_print = [], False
    for line in code.splitlines():
        stripped = line.strip()
        if stripped.startswith("# ") and after_print:
            out.append(stripped[2:])
            continue
        after_print = "print(" in line
        if "print(" in line and "  # " in line:
            out.append(line.split("  # ", 1)[1].strip())
    return out


@pytest.mark.parametrize("doc", [README, LEDGER_DOC], ids=lambda p: p.name)
def test_python_blocks_run_and_print_what_they_say(tmp_path, doc):
    code = "".join(dedent(b) for b in blocks(doc, "python"))
    code = code.replace("/tmp/portfolio-data", str(tmp_path / "data"))
    if doc is README:
        pytest.importorskip("pandas")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert r.returncode == 0, r.stderr
    printed = [x.strip() for x in r.stdout.splitlines()]
    wanted = expected_outputs(code)
    assert len(wanted) >= 4
    for line in wanted:
        assert line in printed, line


@pytest.mark.parametrize("number", range(len(blocks(STORE_DOC, "python"))))
def test_store_doc_python_blocks_run_as_pasted(tmp_path, number):
    """Each block on its own, in a fresh interpreter with nothing set up: no
    name it does not define, no file outside the directories it makes."""
    code = dedent(blocks(STORE_DOC, "python")[number])
    env = {k: v for k, v in os.environ.items() if k != "QUENTARIS_DATA_DIR"}
    env["TMPDIR"] = str(tmp_path)
    r = subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True, cwd=tmp_path,
                       env=env, timeout=300)
    assert (r.returncode, r.stderr) == (0, "")
    wanted = expected_outputs(code)
    assert wanted and [x.strip() for x in r.stdout.splitlines()] == wanted
    assert [p.name for p in tmp_path.iterdir()] and all(
        p.is_dir() and p.name.startswith("tmp") for p in tmp_path.iterdir())  # only what tempfile made


def test_store_doc_shell_blocks_run(tmp_path):
    script = "".join(blocks(STORE_DOC, "sh"))
    assert script
    r = run_sh(tmp_path, script)
    assert (r.returncode, r.stderr) == (0, "")


def run_sh(tmp_path, script):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    env = {k: v for k, v in os.environ.items() if k not in ("XDG_DATA_HOME",)}
    env.update(QUENTARIS_DATA_DIR=str(tmp_path / "data"), HOME=str(tmp_path), PYTHONIOENCODING="utf-8")
    prelude = f'set -e\nordermgr() {{ "{sys.executable}" -m marlovent "$@"; }}\n'
    body = "\n".join(line for line in script.splitlines() if not line.lstrip().startswith("pip install"))
    return subprocess.run(["bash", "-c", prelude + body], capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)


@pytest.mark.parametrize("doc", [README, CLI_DOC], ids=lambda p: p.name)
def test_shell_blocks_run(tmp_path, doc):
    script = "".join(blocks(doc, "sh"))
    assert script.count("ordermgr ") >= 4
    r = run_sh(tmp_path, script)
    assert r.returncode == 0, (r.stdout[-2000:], r.stderr[-2000:])
    assert "Traceback" not in r.stderr


@pytest.mark.parametrize("doc, title", [(CLI_DOC, "### A broker's export"), (CLI_DOC, "### The worked example"), (README, "## A worked example")])
def test_the_examples_print_what_the_doc_shows(tmp_path, doc, title):
    text = doc.read_text(encoding="utf-8")
    section = text[text.index(title) :]
    (command,) = re.findall(r"```sh\n(.*?)```", section, re.S)[:1]
    shown = re.findall(r"```text\n(.*?)```", section[section.index(command) :], re.S)[0]
    r = run_sh(tmp_path, command)
    assert r.returncode == 0, r.stderr
    out, shown = (r.stderr + r.stdout).splitlines(), shown.splitlines()
    if doc is README:  # the README shows the first table of the output
        start = out.index(shown[0])
        out = out[start : start + len(shown)]
    assert out == shown


@pytest.mark.parametrize(
    "qty, price, commission, works",
    [
        (10, 100.0, 1.0, True),
        (0.5, 100.0, 1.0, True),
        ("Fraction(1, 3)", 100.0, 1.0, True),
        ("Fraction(1, 3)", 100, 0, True),
        ("Decimal('0.3')", 100.0, 0.0, False),
        ("Decimal('0.3')", "Decimal('100.5')", "Decimal('1.0')", False),
    ],
)
def test_the_readme_table_of_number_kinds(om, qty, price, commission, works):
    from decimal import Decimal  # noqa: F401 - used by eval
    from fractions import Fraction  # noqa: F401

    value = [eval(x) if isinstance(x, str) else x for x in (qty, price, commission)]
    pos = om.Position("K")
    pos.add_trade(om.Trade(1, value[1], value[0], value[2]))
    assert type(pos.qty) is type(value[0])
    if works:
        assert isinstance(pos.average_price, float)
    else:
        with pytest.raises(TypeError):
            pos.average_price

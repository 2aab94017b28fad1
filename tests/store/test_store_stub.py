"""The type stub names exactly the module's public surface."""

import ast
import pathlib

import zelph.dualcache as dc

STUB = pathlib.Path(dc.__file__).with_name("dualcache.pyi")
if not STUB.exists():  # running from the source tree
    STUB = pathlib.Path(__file__).parents[2] / "src" / "zelph" / "dualcache.pyi"


def stub_names():
    tree = ast.parse(STUB.read_text())
    top, members = set(), {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            top.add(node.name)
            if isinstance(node, ast.ClassDef):
                members[node.name] = {
                    n.name if not isinstance(n, ast.AnnAssign) else n.target.id
                    for n in node.body if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
    return top, members


def test_stub_matches_the_module():
    top, members = stub_names()
    public = {n for n in dir(dc) if not n.startswith("__")}
    assert top == public
    runtime = set(dir(dc.DualCache))
    assert members["DualCache"] <= runtime
    documented = {n for n in runtime if not n.startswith("__") or n in (
        "__getitem__", "__setitem__", "__delitem__", "__contains__", "__len__", "__iter__", "__bool__",
        "__enter__", "__exit__")}
    assert documented - {"__reduce__"} <= members["DualCache"]

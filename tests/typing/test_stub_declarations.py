"""The shipped stub and the tools against the records' own declarations:
every class's fields (names, order, annotations), its constructor
(parameters, defaults) and __match_args__ are what the native class was built
from, and the field lists of the command-line tool and the pandas bridge are
Trade's."""

import ast
import importlib.util
from pathlib import Path

import pytest


def stub_classes():
    found = importlib.util.find_spec("marlovent")
    assert found is not None and found.submodule_search_locations
    path = Path(list(found.submodule_search_locations)[0]) / "ordermgr.pyi"
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


CLASSES = stub_classes()


def record_classes(om):
    return {n: v for n, v in vars(om).items() if isinstance(v, type) and "__record_fields__" in v.__dict__}


def test_every_class_is_declared(om):
    assert sorted(record_classes(om)) == sorted(CLASSES)


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_stub_matches_declaration(om, name):
    cls = getattr(om, name)
    declared = cls.__record_fields__
    node = CLASSES[name]

    fields = [
        (stmt.target.id, ast.unparse(stmt.annotation))
        for stmt in node.body
        if isinstance(stmt, ast.AnnAssign)
        and isinstance(stmt.target, ast.Name)
        and not ast.unparse(stmt.annotation).startswith("ClassVar")
    ]
    assert fields == [(f[0], f[1]) for f in declared]

    params = [f for f in declared if f[2] != "excluded"]
    assert cls.__match_args__ == tuple(f[0] for f in params)
    inits = [stmt for stmt in node.body if isinstance(stmt, ast.FunctionDef) and stmt.name == "__init__"]
    (init,) = inits
    args = init.args.args[1:]
    assert [a.arg for a in args] == [f[0] for f in params]
    assert [ast.unparse(a.annotation) for a in args] == [f[1] for f in params]
    defaults = [None] * (len(args) - len(init.args.defaults)) + list(init.args.defaults)
    for (fname, _ann, kind, default, _factory, _cmp, _repr), given in zip(params, defaults):
        if kind == "required":
            assert given is None, fname
        elif kind == "default":
            assert given is not None and ast.literal_eval(given) == default, fname
            assert type(ast.literal_eval(given)) is type(default), fname
        else:
            assert isinstance(given, ast.Constant) and given.value is Ellipsis, fname


def test_declarations_drive_the_dataclass_view(om):
    import dataclasses

    for name, cls in record_classes(om).items():
        fields = dataclasses.fields(cls)
        assert [f.name for f in fields] == [d[0] for d in cls.__record_fields__], name
        for f, d in zip(fields, cls.__record_fields__):
            assert f.init == (d[2] != "excluded") and f.compare == d[5] and f.repr == d[6], (name, f.name)


def test_tools_name_the_trade_fields_as_declared(om):
    """The command-line tool and the pandas bridge list a trade's fields
    (columns read and written, JSON keys); each list holds Trade's own
    declaration, in its order, with the position key in front (the tool's
    fill files carry the ledger's columns beside them; its export lists the
    ledger's fills)."""
    from marlovent import frames
    from marlovent._cli import fills, render

    fields = tuple(row[0] for row in om.Trade.__record_fields__)
    assert frames.TRADE_COLUMNS == ("key", *fields)

    def trade_fields_of(columns):
        return tuple(c for c in columns if c in fields)

    assert fills.COLUMNS[0] == "key" and trade_fields_of(fills.COLUMNS) == fields
    assert tuple(render.trade_json(om.Trade(1, 2.0, 3))) == fields

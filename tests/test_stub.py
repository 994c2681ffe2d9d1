"""The shipped stub against the built module.

stubtest cannot see the parameters of pybind11 functions (they carry no
`__text_signature__`), so these tests compare the stub with the signature line
pybind11 writes into each `__doc__`, and its result types with real results.
"""

from __future__ import annotations

import ast
import importlib.resources

import pytest

import qv
import qv._native as native

KEY = bytes(range(32))

# Runtime parameter types that the stub states as they are, or as the set of
# objects the conversion accepts. `object`, Mapping and Buffer are refined by
# hand and are not listed.
STUB_TYPE_OF = {
    "str": "_Text",
    "bytes": "bytes",
    "bool": "bool",
    "typing.SupportsInt | typing.SupportsIndex": "SupportsInt | SupportsIndex",
}


def _stub_tree() -> ast.Module:
    stub = importlib.resources.files("qv") / "_native.pyi"
    return ast.parse(stub.read_text(encoding="utf-8"))


STUB = _stub_tree()
STUB_FUNCS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}
STUB_DICTS = {
    n.name: [
        (f.target.id, ast.unparse(f.annotation)) for f in n.body if isinstance(f, ast.AnnAssign)
    ]
    for n in STUB.body
    if isinstance(n, ast.ClassDef)
}
RUNTIME_FUNCS = [
    name for name, obj in vars(native).items() if callable(obj) and not name.startswith("_")
]


def runtime_signature(name: str) -> ast.FunctionDef:
    line = getattr(native, name).__doc__.splitlines()[0]
    fn = ast.parse(f"def {line}: ...").body[0]
    assert isinstance(fn, ast.FunctionDef)
    return fn


def params(fn: ast.FunctionDef) -> list[tuple[str, str, str | None]]:
    """(name, annotation, default) of each parameter; all must be positional-or-keyword."""
    a = fn.args
    assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), fn.name
    defaults = [None] * (len(a.args) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    return [(p.arg, ast.unparse(p.annotation), d) for p, d in zip(a.args, defaults, strict=True)]


def test_typing_files_are_installed_with_the_package():
    pkg = importlib.resources.files("qv")
    assert (pkg / "py.typed").is_file()
    assert (pkg / "_native.pyi").is_file()


def test_stub_states_every_function_in_registration_order():
    assert list(STUB_FUNCS) == RUNTIME_FUNCS
    assert len(RUNTIME_FUNCS) == 9


@pytest.mark.parametrize("name", RUNTIME_FUNCS)
def test_stub_parameters_match_the_runtime_signature(name):
    stub = params(STUB_FUNCS[name])
    runtime = params(runtime_signature(name))
    assert [p[0] for p in stub] == [p[0] for p in runtime]
    for (pname, stub_type, stub_default), (_, rt_type, rt_default) in zip(
        stub, runtime, strict=True
    ):
        # A stub writes a mutable default such as `{}` as `...`.
        expected_default = "..." if rt_default == "{}" else rt_default
        assert stub_default == expected_default, pname
        if rt_type in STUB_TYPE_OF:
            assert stub_type == STUB_TYPE_OF[rt_type], pname


@pytest.mark.parametrize("name", RUNTIME_FUNCS)
def test_stub_return_type_matches_or_refines_the_runtime(name):
    stub_ret = ast.unparse(STUB_FUNCS[name].returns)
    rt_ret = ast.unparse(runtime_signature(name).returns)
    if rt_ret in ("bytes", "str", "None"):
        assert stub_ret == rt_ret
    elif rt_ret == "dict":
        assert stub_ret in STUB_DICTS
    else:
        # The inspection functions return None for a token that does not decode.
        assert rt_ret == "object"
        assert getattr(native, name)("") is None
        base = stub_ret.removesuffix(" | None")
        assert base != stub_ret and (base in STUB_DICTS or base == "str"), stub_ret


PYTHON_TYPE = {"int": int, "bool": bool, "str": str, "bytes": bytes, "dict[str, str]": dict}


def _results():
    token = qv.encrypt("hello", KEY, "k1", metadata={"b": "2", "a": "1"})
    return {
        "derive_key_from_password": qv.derive_key_from_password("pw", "00", N=2**14),
        "decrypt": qv.decrypt(token, KEY),
        "decode_token": qv.decode_token(token),
    }


@pytest.mark.parametrize("name", ["derive_key_from_password", "decrypt", "decode_token"])
def test_typed_dict_lists_the_real_keys_in_order_with_their_types(name):
    result = _results()[name]
    fields = STUB_DICTS[ast.unparse(STUB_FUNCS[name].returns).removesuffix(" | None")]
    assert list(result) == [field for field, _ in fields]
    for field, annotation in fields:
        value = result[field]
        assert type(value) is PYTHON_TYPE[annotation], field
        if annotation == "dict[str, str]":
            assert all(type(k) is str and type(v) is str for k, v in value.items())

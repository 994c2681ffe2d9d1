"""Argument errors never carry a key, a plaintext or a password.

pybind11's own mismatch error lists the repr of every argument. Every public
function, native or forwarding to one, gets a wrong type in each parameter in
turn, with recognisable secrets in the others; none of the secrets may appear
in the error, its repr, its notes or anything chained to it.
"""

from __future__ import annotations

import collections
import pickle
import re

import pytest

import qv
import qv._arrow as native_arrow
import qv._bulk as bulk
import qv._native as native

pa = pytest.importorskip("pyarrow")
import qv.arrow as qa  # noqa: E402

KEY = b"qvKEYmarker-0123456789-secret!!!"
PLAINTEXT = "qvPLAINmarker-card-4111"
PASSWORD = "qvPASSmarker-hunter2"
SECRET_TEXTS = ("KEYmarker", KEY[:12].hex(), "PLAINmarker", "PASSmarker")
TOKEN = qv.encrypt(PLAINTEXT, KEY, "k1", True)


class Wrong:
    """An object that no parameter takes."""


WRONG = {"object": Wrong(), "lone-surrogate": "\ud800", "int-2**64": 2**64}


def ring() -> qv.Keyring:
    r = qv.Keyring()
    r.add("k1", KEY)
    return r


def column(values: list[str | None]):
    return qa._spec(pa.array(values))


# (id, function, its arguments by name with the secrets in place)
FUNCTIONS = [
    ("generate_key", native.generate_key, {}),
    (
        "derive_key_from_password",
        native.derive_key_from_password,
        {"password": PASSWORD, "salt_hex": "00ff", "N": 16384, "r": 8, "p": 1},
    ),
    ("derive_subkey", native.derive_subkey, {"master_key": KEY, "context": "c", "salt": b"s"}),
    (
        "encrypt",
        native.encrypt,
        {
            "plaintext": PLAINTEXT,
            "key": KEY,
            "key_id": "k1",
            "deterministic": True,
            "metadata": {"m": PLAINTEXT},
            "aad": "ad",
        },
    ),
    ("decrypt", native.decrypt, {"token": TOKEN, "key": KEY, "aad": None}),
    ("peek_key_id", native.peek_key_id, {"token": TOKEN}),
    ("decode_token", native.decode_token, {"token": TOKEN}),
    ("token_fingerprint", native.token_fingerprint, {"token": TOKEN}),
    ("wipe_buffer", native.wipe_buffer, {"buf": bytearray(KEY)}),
    *[
        (
            name,
            fn,
            {
                "plaintexts": [PLAINTEXT],
                "key": KEY,
                "key_id": "k1",
                "deterministic": True,
                "metadata": {"m": "v"},
                "aad": [PLAINTEXT],
                "threads": 1,
            },
        )
        for name, fn in [("encrypt_many", bulk.encrypt_many), ("qv.encrypt_many", qv.encrypt_many)]
    ],
    *[
        (
            name,
            fn,
            {"tokens": [TOKEN], "keys": {"k1": KEY}, "aad": None, "errors": "null", "threads": 1},
        )
        for name, fn in [
            ("decrypt_many", bulk.decrypt_many),
            ("decrypt_many_records", bulk.decrypt_many_records),
        ]
    ],
    (
        "seal_column",
        native_arrow.seal_column,
        {
            "column": column([PLAINTEXT]),
            "key": KEY,
            "key_id": "k1",
            "deterministic": True,
            "metadata": {"m": "v"},
            "aad": None,
            "aad_column": None,
            "threads": 1,
        },
    ),
    (
        "open_column",
        native_arrow.open_column,
        {
            "column": column([TOKEN]),
            "keys": KEY,
            "aad": None,
            "aad_column": None,
            "threads": 1,
        },
    ),
    ("usable_cores", native_arrow.usable_cores, {}),
    (
        "arrow.encrypt",
        qa.encrypt,
        {
            "array": pa.array([PLAINTEXT]),
            "key_or_keyring": KEY,
            "key_id": "k1",
            "deterministic": True,
            "metadata": {"m": "v"},
            "aad": "ad",
            "threads": 1,
        },
    ),
    (
        "arrow.decrypt",
        qa.decrypt,
        {"array": pa.array([TOKEN]), "key_or_keyring": KEY, "aad": None, "threads": 1},
    ),
    *[
        (
            f"Keyring.{name}",
            lambda name=name, **kw: getattr(ring(), name)(**kw),
            {"plaintext": PLAINTEXT, "metadata": {"m": "v"}, "aad": "ad"} | extra,
        )
        for name, extra in [("encrypt", {"deterministic": True}), ("lookup_tokens", {})]
    ],
    (
        "Keyring.encrypt_many",
        lambda **kw: ring().encrypt_many(**kw),
        {"plaintexts": [PLAINTEXT], "deterministic": True, "metadata": {}, "aad": None},
    ),
    *[
        (
            f"Keyring.{name}",
            lambda name=name, **kw: getattr(ring(), name)(**kw),
            {"tokens": [TOKEN], "aad": None, "errors": "null", "threads": 1},
        )
        for name in ["decrypt_many", "rotate_many"]
    ],
    *[
        (f"Keyring.{name}", lambda name=name, **kw: getattr(ring(), name)(**kw), {"token": TOKEN})
        for name in ["decrypt", "rotate"]
    ],
]


def exceptions_of(error: BaseException):
    """`error` and everything chained to it."""
    seen: list[BaseException] = []
    todo: list[BaseException | None] = [error]
    while todo:
        e = todo.pop()
        if e is None or any(e is s for s in seen):
            continue
        seen.append(e)
        todo += [e.__cause__, e.__context__]
    return seen


def assert_no_secret(error: BaseException) -> None:
    for e in exceptions_of(error):
        # The mismatch error and a failed encoding (its `object` is the text)
        # must not ride along as a cause or context.
        assert not isinstance(e, UnicodeEncodeError), repr(e)
        assert "Invoked with" not in str(e) and "incompatible function" not in str(e)
        texts = [str(e), repr(e), *map(repr, e.args), *map(str, getattr(e, "__notes__", []))]
        for text in texts:
            for secret in SECRET_TEXTS:
                assert secret not in text, text


SWEEP = [
    pytest.param(fn, args, param, wrong, id=f"{name}-{param}-{wrong_id}")
    for name, fn, args in FUNCTIONS
    for param in args
    for wrong_id, wrong in WRONG.items()
]


@pytest.mark.parametrize(("fn", "args", "param", "wrong"), SWEEP)
def test_a_wrong_type_in_any_parameter_shows_no_secret(fn, args, param, wrong) -> None:
    try:
        fn(**(args | {param: wrong}))
    except Exception as e:
        assert_no_secret(e)


NATIVE = [
    (name, fn, args) for name, fn, args in FUNCTIONS if not name.startswith(("qv.", "K", "a"))
]
BINDING = [
    pytest.param(call, id=f"{name}-{kind}")
    for name, fn, args in NATIVE
    for kind, call in {
        "surplus": lambda fn=fn, args=args: fn(*args.values(), KEY, PASSWORD),
        "unknown-keyword": lambda fn=fn, args=args: fn(**args, secret=KEY),
        "duplicate": lambda fn=fn, args=args: fn(*args.values(), **args),
        "missing": lambda fn=fn, args=args: fn(**dict(list(args.items())[1:])),
    }.items()
    if args or kind == "surplus"
]


@pytest.mark.parametrize("call", BINDING)
def test_arguments_that_do_not_bind_are_refused_without_a_value(call) -> None:
    with pytest.raises(TypeError, match=r"^qv: \w+\(\) (takes|got|missing)") as info:
        call()
    assert_no_secret(info.value)


# The messages, exactly: the command line and the README quote them.
MESSAGES = [
    ("key-str", lambda: qv.encrypt("x", "k" * 32, "k1"), "argument 'key' must be bytes, not str"),
    (
        "surrogate",
        lambda: qv.encrypt("\ud800", KEY, "k1"),
        "argument 'plaintext' cannot be encoded as UTF-8 (it holds a lone surrogate)",
    ),
    (
        "surrogate-in-mapping",
        lambda: qv.encrypt("x", KEY, "k1", False, {"m": "\udc00"}),
        "argument 'metadata' holds a str that cannot be encoded as UTF-8 (a lone surrogate)",
    ),
    (
        "mapping-value",
        lambda: qv.encrypt("x", KEY, "k1", False, {"m": 5}),
        "argument 'metadata' must be a mapping of str to str, not one with a value of type int",
    ),
    (
        "out-of-range",
        lambda: qv.derive_key_from_password(PASSWORD, "00", -1),
        "argument 'N' is out of range: it must be an int from 0 to 18446744073709551615",
    ),
    (
        "optional",
        lambda: qv.encrypt_many([], KEY, "k1", metadata=[]),
        "argument 'metadata' must be a mapping of str to str or None, not list",
    ),
    ("surplus", lambda: qv.generate_key(KEY), "takes no arguments (1 given)"),
    (
        "surplus-kw-only",
        lambda: qv.decrypt_many([], KEY, None),
        "takes at most 2 positional arguments (3 given)",
    ),
    (
        "keyword",
        lambda: qv.derive_key_from_password(PASSWORD, n=1),
        "got an unexpected keyword argument 'n'",
    ),
    (
        "duplicate",
        lambda: qv.decrypt(TOKEN, KEY, key=KEY),
        "got multiple values for argument 'key'",
    ),
    ("missing", lambda: qv.encrypt(PLAINTEXT, KEY), "missing required argument 'key_id'"),
]


@pytest.mark.parametrize(
    ("call", "message"), [m[1:] for m in MESSAGES], ids=[m[0] for m in MESSAGES]
)
def test_messages_name_the_function_the_parameter_and_the_type(call, message) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert re.sub(r"^qv: \w+\(\) ", "", str(info.value)) == message


def test_errors_that_are_not_a_mismatch_pass_unchanged() -> None:
    with pytest.raises(TypeError, match=r"^Object of type 'int' is not an instance of 'bytes'$"):
        qv.derive_subkey(KEY, "c", 5)

    class Failing(collections.UserDict):
        def items(self):
            raise KeyError("from items")

    with pytest.raises(KeyError, match="from items"):
        qv.encrypt("x", KEY, "k1", False, Failing(m="v"))


def test_guarded_functions_keep_their_name_docstring_and_pickle() -> None:
    for module in (native, bulk, native_arrow):
        for name, fn in vars(module).items():
            if callable(fn) and not name.startswith("_") and name != "ResultBuffer":
                assert fn.__name__ == name and fn.__module__ == module.__name__
                assert fn.__doc__.startswith(f"{name}(")
                assert pickle.loads(pickle.dumps(fn)) is fn

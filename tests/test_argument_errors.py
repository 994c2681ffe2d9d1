"""Argument errors never carry a key, a plaintext or a password.

pybind11's own mismatch error lists the repr of every argument. Every public
function, native or forwarding to one, gets a wrong type in each parameter in
turn, with recognisable secrets in the others; none of the secrets may appear
in the error, its repr, its notes or anything chained to it.
"""

from __future__ import annotations

import collections
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


def ring_method(name: str):
    """Keyring.<name> of a ring whose only key is KEY."""
    ring = qv.Keyring()
    ring.add("k1", KEY)
    return getattr(ring, name)


SEAL = dict(key=KEY, key_id="k1", deterministic=True, metadata={"m": PLAINTEXT})
OPEN = dict(aad=None, errors="null", threads=1)
COLUMN = dict(aad=None, aad_column=None, threads=1)
RING_SEAL = dict(deterministic=True, metadata={"m": "v"}, aad="ad")
KDF = dict(password=PASSWORD, salt_hex="00", N=16384, r=8, p=1)
TEXTS, TOKENS = pa.array([PLAINTEXT]), pa.array([TOKEN])
# (id, function, its arguments by name with the secrets in place)
FUNCTIONS = [
    ("generate_key", native.generate_key, {}),
    ("derive_key_from_password", native.derive_key_from_password, KDF),
    ("derive_subkey", native.derive_subkey, dict(master_key=KEY, context="c", salt=b"s")),
    ("encrypt", native.encrypt, dict(plaintext=PLAINTEXT, **SEAL, aad="ad")),
    ("decrypt", native.decrypt, dict(token=TOKEN, key=KEY, aad=None)),
    *[(f.__name__, f, dict(token=TOKEN)) for f in (qv.peek_key_id, qv.decode_token)],
    ("token_fingerprint", native.token_fingerprint, dict(token=TOKEN)),
    ("wipe_buffer", native.wipe_buffer, dict(buf=bytearray(KEY))),
    ("encrypt_many", bulk.encrypt_many, dict(plaintexts=[PLAINTEXT], **SEAL, aad=[PLAINTEXT])),
    ("decrypt_many", bulk.decrypt_many, dict(tokens=[TOKEN], keys={"k1": KEY}, **OPEN)),
    ("decrypt_many_records", bulk.decrypt_many_records, dict(tokens=[TOKEN], keys=KEY, **OPEN)),
    ("seal_column", native_arrow.seal_column, dict(column=qa._spec(TEXTS), **SEAL, **COLUMN)),
    ("open_column", native_arrow.open_column, dict(column=qa._spec(TOKENS), keys=KEY, **COLUMN)),
    ("usable_cores", native_arrow.usable_cores, {}),
    ("arrow.encrypt", qa.encrypt, dict(array=TEXTS, key_or_keyring=KEY, key_id="k", **RING_SEAL)),
    ("arrow.decrypt", qa.decrypt, dict(array=TOKENS, key_or_keyring=KEY, **OPEN)),
    *[
        (f"Keyring.{name}", lambda name=name, **kw: ring_method(name)(**kw), args)
        for name, args in [
            ("encrypt", dict(plaintext=PLAINTEXT, **RING_SEAL)),
            ("lookup_tokens", dict(plaintext=PLAINTEXT, metadata={"m": "v"}, aad="ad")),
            ("encrypt_many", dict(plaintexts=[PLAINTEXT], **RING_SEAL, threads=1)),
            ("decrypt_many", dict(tokens=[TOKEN], **OPEN)),
            ("rotate_many", dict(tokens=[TOKEN], **OPEN)),
            ("decrypt", dict(token=TOKEN, aad=None)),
            ("rotate", dict(token=TOKEN, aad=None)),
        ]
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


def binding_mistakes(fn, args):
    """(message, call) for each way of binding arguments wrongly, secrets elsewhere."""
    surplus = r"takes (no arguments|at most \d positional arguments?) \(\d+ given\)"
    yield surplus, lambda: fn(*args.values(), KEY, PASSWORD)
    if args:
        first, rest = next(iter(args.values())), dict(list(args.items())[1:])
        yield "got an unexpected keyword argument 'secret'", lambda: fn(**args, secret=KEY)
        yield r"got multiple values for argument '\w+'", lambda: fn(first, **args)
        yield r"missing required argument '\w+'", lambda: fn(**rest)


BINDING = [
    pytest.param(call, message, id=f"{name}-{message.split()[0]}")
    for name, fn, args in FUNCTIONS
    if "." not in name  # the native functions
    for message, call in binding_mistakes(fn, args)
]


@pytest.mark.parametrize(("call", "message"), BINDING)
def test_arguments_that_do_not_bind_are_refused_without_a_value(call, message) -> None:
    with pytest.raises(TypeError, match=rf"^qv: \w+\(\) {message}$") as info:
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

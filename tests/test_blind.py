"""Blind indexes: values against an independent HMAC/HKDF, transforms, sizes, the planner,
key purposes in the ring and its stored form."""

from __future__ import annotations

import copy
import hashlib
import hmac
import json
import math
import os
import secrets
import warnings

import pyarrow as pa
import pytest

import qv
from qv.blind import (
    BlindIndexError,
    BlindIndexSizeWarning,
    Transform,
    check_set,
    plan,
    plan_set,
)

WRAP = b"w" * 32


def ring_with_index() -> tuple[qv.Keyring, qv.IndexKey]:
    ring = qv.Keyring()
    ring.generate("seal-1")
    ring.generate("ix-1", purpose="indexing")
    return ring, ring.index_key("ix-1")


def expected(key: bytes, table: str, columns: list[str], name: str, message: bytes, bits: int):
    """The documented construction, with hashlib and hmac alone."""
    context = "blind-index:" + json.dumps([table, columns, name], separators=(",", ":"))
    prk = hmac.new(b"\0" * 32, key, hashlib.sha256).digest()
    subkey = hmac.new(prk, b"qv.v2:" + context.encode() + b"\x01", hashlib.sha256).digest()
    mac = int.from_bytes(hmac.new(subkey, message, hashlib.sha256).digest(), "big")
    return format(mac >> (256 - bits), f"0{(bits + 3) // 4}x")


@pytest.mark.parametrize("bits", [1, 3, 4, 7, 8, 13, 32, 63, 64, 65, 255, 256, "24", "12 bits"])
def test_values_match_an_independent_hmac_hkdf(bits) -> None:
    _ring, key = ring_with_index()
    index = qv.BlindIndex("ix", bits=bits, key=key, table="users", column="email")
    values = ["", "a", "Ada@example.com", "ü" * 40, "x" * 1000]
    got = index.compute_many(values)
    assert got == [
        expected(key.material(), "users", ["email"], "ix", v.encode(), int(str(bits).split()[0]))
        for v in values
    ]
    assert index.compute_arrow(pa.array(values)).to_pylist() == got
    assert index.compute_arrow(pa.array([None, *values], pa.large_string())[1:]).to_pylist() == got


def test_compound_message_is_length_prefixed_parts() -> None:
    _, key = ring_with_index()
    index = qv.BlindIndex(
        "card_year",
        bits=20,
        key=key,
        table="people",
        columns={"card": "digits|last:4", "born": "identity"},
    )
    message = b"\0\0\0\x044242" + b"\0\0\0\x041990"
    want = expected(key.material(), "people", ["card", "born"], "card_year", message, 20)
    assert index.compute({"card": "4000 1234 5678 4242", "born": 1990, "other": 1}) == want
    assert index.compute(("4242", "1990")) == want
    assert index.compute({"card": None, "born": 1990}) is None


@pytest.mark.parametrize(
    ("text", "value", "out"),
    [
        ("identity", " Ada ", " Ada "),
        ("casefold", "  ADA\t\u00a0Lovelace  ", "ada lovelace"),
        ("casefold", "Straße", "strasse"),
        ("casefold", "\uff21\uff24\uff21", "ada"),  # full-width letters
        ("digits", "+44 (20) 7946-0958", "442079460958"),
        ("digits", "\uff11\uff12x3", "123"),
        ("digits|last:4", "4000-1234-5678-9010", "9010"),
        ("casefold|first:3", "  ÉCOLE ", "éco"),
        (["digits", "first:2"], "a1b2c3", "12"),
        ("last:10", "short", "short"),
    ],
    ids=lambda v: str(v)[:16],
)
def test_transforms(text, value, out) -> None:
    assert Transform(text)(value) == out


def test_positional_declaration() -> None:
    _, key = ring_with_index()
    index = qv.BlindIndex("e", "casefold", 16, key, table="t", column="c")
    assert (index.transform.text, index.bits) == ("casefold", 16)


def test_indexes_and_columns_are_unrelated_and_case_search_matches() -> None:
    _, key = ring_with_index()
    a = qv.BlindIndex("a", bits=64, key=key, table="t", column="c")
    assert len({a.compute("v"), a.bound("t2").compute("v")}) == 2
    assert a.compute("v") != qv.BlindIndex("b", bits=64, key=key, table="t", column="c").compute(
        "v"
    )
    folded = qv.BlindIndex("f", bits=64, key=key, transform="casefold", table="t", column="c")
    assert folded.compute("Ada@Example.COM ") == folded.compute("ada@example.com")


@pytest.mark.parametrize("bits", [4, 8, 12])
def test_false_positive_rate_is_two_to_the_minus_bits(bits) -> None:
    # 10^5 random values against one index value: matches are binomial with
    # p = 2^-bits; the count must lie within 5 standard deviations.
    _, key = ring_with_index()
    index = qv.BlindIndex("fp", bits=bits, key=key, table="t", column="c")
    target = index.compute("the value searched for")
    n = 100_000
    hits = index.compute_many([secrets.token_hex(16) for _ in range(n)]).count(target)
    p = 2.0**-bits
    assert abs(hits - n * p) <= 5 * math.sqrt(n * p * (1 - p)) + 1


@pytest.mark.parametrize(
    ("kwargs", "words"),
    [
        ({"transform": "soundex"}, "unknown transform"),
        ({"transform": "last:0"}, "count from 1"),
        ({"transform": "digits:3"}, "takes no count"),
        ({"bits": 0}, "1 to 256 bits"),
        ({"bits": 257}, "1 to 256 bits"),
        ({"bits": True}, "1 to 256 bits"),
        ({"bits": "wide"}, "1 to 256 bits"),
        ({"bits": "\uff11\uff12"}, "1 to 256 bits"),  # full-width digits are not a size
        ({"bits": None}, "needs bits= and key="),
        ({"key": b"k" * 32}, "not raw bytes"),
        ({"key": "ring"}, "not a key ring"),
        ({"key": 3}, "not int"),
        ({"columns": {"only": "identity"}}, "two or more"),
        ({"columns": {"a": "identity", "b": "digits"}, "transform": "digits"}, "per column"),
        ({"name": ""}, "non-empty"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_bad_declarations_fail_when_declared(kwargs, words) -> None:
    ring, key = ring_with_index()
    args = {"name": "ix", "bits": 16, "key": key, **kwargs}
    if args["key"] == "ring":
        args["key"] = ring
    with pytest.raises(BlindIndexError, match=words):
        qv.BlindIndex(args.pop("name"), **args)


def test_compound_row_missing_a_column_and_unbound_index() -> None:
    _, key = ring_with_index()
    index = qv.BlindIndex("cy", bits=8, key=key, table="t", columns={"a": "digits", "b": "digits"})
    with pytest.raises(BlindIndexError, match=r"columns \['b'\]"):
        index.compute({"a": "1"})
    with pytest.raises(BlindIndexError, match="needs its table"):
        qv.BlindIndex("x", bits=8, key=key).compute("v")
    index = qv.BlindIndex("x", bits=8, key=key, table="t", column="c")
    with pytest.raises(TypeError, match="not float"):
        index.compute(1.5)
    assert copy.deepcopy(index) is index  # the key is shared, never duplicated


@pytest.mark.parametrize(
    ("rows", "distinct", "min_rows", "bits"),
    [
        (1_000_000, 1_000_000, 2, 18),  # 2^18 * 2 <= 10^6 < 2^19 * 2
        (1_000_000, 10_000, 2, 12),  # few distinct values bound it
        (1_000_000, 1_000_000, 16, 15),
        (100, 10_000, 2, 5),  # distinct values above rows count as rows
        (3, 3, 2, 0),  # no size is safe
        (2**300, 2**300, 2, 256),
    ],
)
def test_planner_one_index(rows, distinct, min_rows, bits) -> None:
    assert plan(rows, distinct, min_rows=min_rows) == bits


def test_planner_set_shares_the_budget_and_warns() -> None:
    sizes = plan_set(1_000_000, 1_000_000, {"exact": None, "ci": None, "last4": 10_000})
    assert sum(sizes.values()) <= plan(1_000_000, 1_000_000) == 18
    assert sizes == {"exact": 6, "ci": 6, "last4": 6}
    assert plan_set(1_000_000, 1_000_000, {"last2": 100, "exact": None}) == {
        "last2": 5,
        "exact": 13,
    }
    _, key = ring_with_index()
    figures = {"expected_rows": 10_000, "expected_distinct": 10_000, "table": "t", "column": "c"}
    with pytest.warns(
        BlindIndexSizeWarning, match="index .big.: 20 bits, above the 12 that 10000 rows"
    ):
        qv.BlindIndex("big", bits=20, key=key, **figures)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fits = [qv.BlindIndex(n, bits=6, key=key, **figures) for n in ("a", "b", "c")]
    with pytest.warns(BlindIndexSizeWarning, match="3 blind indexes on t.c: 18 bits"):
        check_set("t.c", fits)


# -- purposes in the ring -----------------------------------------------------------


def test_index_keys_never_seal_and_sealing_keys_never_index() -> None:
    ring, key = ring_with_index()
    with pytest.raises(qv.KeyPurposeError, match="'seal-1' is a sealing key"):
        ring.index_key("seal-1")
    with pytest.raises(qv.KeyPurposeError, match="cannot be the primary"):
        ring.promote("ix-1")
    forged = qv.encrypt("x", key.material(), "ix-1")
    with pytest.raises(qv.KeyPurposeError, match="never seals or opens"):
        ring.decrypt(forged)
    with pytest.raises(qv.KeyPurposeError):
        ring.decrypt_many([forged])
    assert ring.decrypt_many([forged], errors="null") == [None]
    assert len(ring.lookup_tokens("x")) == 1
    assert "ix-1" not in repr(key.material()) and repr(key) == "<qv index key 'ix-1'>"
    with pytest.raises(TypeError):
        qv.encrypt("x", key, "k")  # type: ignore[arg-type]
    only_index = qv.Keyring()
    only_index.generate("ix", purpose="indexing")
    with pytest.raises(qv.KeyringError, match="no enabled key"):
        only_index.encrypt("x")
    with pytest.raises(qv.KeyringError, match="'sealing' or 'indexing'"):
        only_index.generate(purpose="signing")  # type: ignore[arg-type]


def test_sealing_rotation_leaves_index_values_unchanged() -> None:
    ring, _key = ring_with_index()
    index = qv.BlindIndex("e", bits=32, key=lambda: ring.index_key("ix-1"), table="t", column="c")
    before = index.compute_many(["a", "b"])
    ring.generate("seal-2")
    ring.promote("seal-2")
    ring.disable("seal-1")
    assert index.compute_many(["a", "b"]) == before
    ring.generate("ix-2", purpose="indexing")
    other = qv.BlindIndex("e", bits=32, key=ring.index_key("ix-2"), table="t", column="c")
    assert other.compute("a") != before[0]


def test_stored_ring_keeps_version_1_without_index_keys() -> None:
    ring = qv.Keyring()
    ring.add("a", os.urandom(32))
    doc = json.loads(ring.to_bytes(wrapping_key=WRAP))
    assert doc["version"] == 1 and set(doc["keys"][0]) == {"key_id", "status", "created", "check"}
    ring.add("ix", os.urandom(32), purpose="indexing")
    data = ring.to_bytes(wrapping_key=WRAP)
    doc = json.loads(data)
    assert doc["version"] == 2
    assert [k["purpose"] for k in doc["keys"]] == ["sealing", "indexing"]
    loaded = qv.Keyring.from_bytes(data, wrapping_key=WRAP)
    assert [(i.key_id, i.purpose) for i in loaded.keys()] == [("a", "sealing"), ("ix", "indexing")]
    assert [i.purpose for i in qv.Keyring.describe(data)] == ["sealing", "indexing"]
    assert loaded.index_key("ix").material() == ring.index_key("ix").material()
    doc["keys"][1]["purpose"] = "sealing"
    with pytest.raises(qv.KeyringError, match="altered"):
        qv.Keyring.from_bytes(json.dumps(doc).encode(), wrapping_key=WRAP)
    del doc["keys"][1]["purpose"]
    with pytest.raises(qv.KeyringError, match="exactly check, created, key_id, purpose"):
        qv.Keyring.from_bytes(json.dumps(doc).encode(), wrapping_key=WRAP)


def test_cli_lists_purposes_once_the_ring_holds_an_index_key(tmp_path) -> None:
    from qv.cli.dispatch import main

    path = tmp_path / "ring.json"
    ring = qv.Keyring()
    ring.generate("s")
    ring.generate("ix", purpose="indexing")
    ring.save(path, wrapping_key=WRAP)
    out = tmp_path / "out.txt"
    with open(out, "w") as stream:
        import contextlib

        with contextlib.redirect_stdout(stream):
            assert main(["keyring", "list", str(path)]) == 0
            assert main(["keyring", "list", "--json", str(path)]) == 0
    text = out.read_text()
    head, sealing, indexing = text.splitlines()[:3]
    assert head.split()[-1] == "PURPOSE"
    assert sealing.split()[-1] == "sealing" and indexing.split()[-1] == "indexing"
    rows = json.loads(text[text.index("[") :])
    assert [r["purpose"] for r in rows] == ["sealing", "indexing"]

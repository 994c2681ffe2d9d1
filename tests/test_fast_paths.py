"""The vector base64url blocks and the piecewise sealer against the oracle, at every
boundary where they hand over to the plain loops."""

from __future__ import annotations

import pytest

import oracle
import qv

KEY = bytes(range(32))
PIECE = 3 * 8192  # the sealer's piece size
# Around 1, the 24/48-byte vector groups, and one, two and three pieces.
SIZES = [1, 2, 3, 4, 23, 24, 25, 47, 48, 49, 95, 96, 97, PIECE - 1, PIECE, PIECE + 1, 3 * PIECE + 2]


def text_of(n: int) -> str:
    return "".join(chr(32 + (i * 7 + i // 95) % 95) for i in range(n))


# L + M shifts where the ciphertext starts within a base64 group.
@pytest.mark.parametrize("n", SIZES, ids=lambda n: f"{n}B")
@pytest.mark.parametrize("key_id", ["k", "kk", "kkk"], ids=["L1", "L2", "L3"])
@pytest.mark.parametrize("metadata", [{}, {"a": "1"}], ids=["nometa", "meta"])
def test_tokens_equal_and_open_with_the_oracle(n: int, key_id: str, metadata: dict) -> None:
    pt = text_of(n)
    token = qv.encrypt(pt, KEY, key_id, True, metadata)
    assert token == oracle.seal(pt, KEY, key_id, True, metadata)
    assert qv.decrypt(token, KEY)["data"] == pt
    random = qv.encrypt(pt, KEY, key_id, False, metadata, "ctx")
    assert oracle.open_token(random, KEY, "ctx")["data"] == pt.encode()


LONG = qv.encrypt(text_of(190), KEY, "kid", True)  # 300 body characters: several blocks
EDGES = [0, 1, 31, 32, 33, 63, 64, 65, 127, 128, 250]
INSERTS = {"LF": "\n", "CRLF": "\r\n", "space": " ", "eq": "=", "tab": "\t", "dot": "."}
INSERTS |= {"x80": "\x80", "e-acute": "\u00e9", "nul": "\x00", "drop": None}


@pytest.mark.parametrize("at", EDGES)
@pytest.mark.parametrize("insert", INSERTS.values(), ids=INSERTS.keys())
def test_decoder_agrees_with_the_oracle_at_block_edges(at: int, insert: str | None) -> None:
    body = LONG[6:]
    token = LONG[:6] + body[:at] + (insert or "") + body[at + (insert is None) :]
    want, got = oracle.decode(token), qv.decode_token(token)
    assert (got is None) == (want is None)
    if want is not None:
        assert (got["ciphertext"], got["tag"]) == (want["ciphertext"], want["tag"])


@pytest.mark.parametrize("swap", ["-+", "_/", "-_+/"], ids=["plus", "slash", "both"])
def test_standard_alphabet_opens_inside_vector_blocks(swap: str) -> None:
    table = str.maketrans(swap[: len(swap) // 2], swap[len(swap) // 2 :])
    assert any(c in LONG[6:] for c in swap[: len(swap) // 2])
    assert qv.decrypt(LONG[:6] + LONG[6:].translate(table), KEY)["data"] == text_of(190)

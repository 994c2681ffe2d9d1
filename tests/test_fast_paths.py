"""The block codecs and the piecewise sealer against the plain Python oracle.

Encrypting enciphers and encodes in pieces straight into the token, and the
base64url codec takes whole vector blocks while it can; both hand over to
the plain loops at every boundary. These cases put those boundaries (vector
block edges, the sealer's piece edges, the head's last base64 group) under
every residue and compare with `oracle`, which shares no code with qv.
"""

from __future__ import annotations

import pytest

import oracle
import qv

KEY = bytes(range(32))
PIECE = 3 * 8192  # the sealer's piece size

# Around 1, the 24/48-byte vector groups, and one, two and three pieces.
SIZES = [1, 2, 3, 4, 23, 24, 25, 47, 48, 49, 95, 96, 97, PIECE - 1, PIECE, PIECE + 1, 3 * PIECE + 2]


def text_of(n: int) -> str:
    # Every byte value of ASCII that encodes to varied sextets.
    return "".join(chr(32 + (i * 7 + i // 95) % 95) for i in range(n))


@pytest.mark.parametrize("n", SIZES, ids=lambda n: f"{n}B")
@pytest.mark.parametrize("key_id", ["k", "kk", "kkk"], ids=["L1", "L2", "L3"])
@pytest.mark.parametrize("metadata", [{}, {"a": "1"}], ids=["nometa", "meta"])
def test_deterministic_token_equals_the_oracle(n, key_id, metadata):
    # L + M shifts where the ciphertext starts within a base64 group.
    pt = text_of(n)
    token = qv.encrypt(pt, KEY, key_id, True, metadata)
    assert token == oracle.seal(pt, KEY, key_id, True, metadata)
    assert qv.decrypt(token, KEY)["data"] == pt


@pytest.mark.parametrize("n", [1, 48, PIECE + 1, 2 * PIECE + 7], ids=lambda n: f"{n}B")
def test_random_token_opens_with_the_oracle(n):
    pt = text_of(n)
    token = qv.encrypt(pt, KEY, "kid", metadata={"m": "v"}, aad="ctx")
    assert oracle.open_token(token, KEY, aad="ctx")["data"] == pt.encode()


def _long_token() -> str:
    # 300 body characters: several 32- and 64-character blocks.
    return qv.encrypt(text_of(190), KEY, "kid", True)


def _edit(token: str, at: int, insert: str = "", drop: int = 0) -> str:
    body = token[6:]
    return token[:6] + body[:at] + insert + body[at + drop :]


EDGES = [0, 1, 31, 32, 33, 63, 64, 65, 127, 128, 250]


def _cases():
    for at in EDGES:
        for ch, name in [("\n", "LF"), ("\r\n", "CRLF"), (" ", "space"), ("=", "eq")]:
            yield pytest.param(at, ch, 0, id=f"skip-{name}@{at}")
        for ch, name in [
            ("\t", "tab"),
            (".", "dot"),
            ("\x80", "x80"),
            ("é", "e-acute"),
            ("\x00", "nul"),
        ]:
            yield pytest.param(at, ch, 0, id=f"bad-{name}@{at}")
        yield pytest.param(at, "", 1, id=f"drop@{at}")


@pytest.mark.parametrize("at, insert, drop", list(_cases()))
def test_decoder_agrees_with_the_oracle_at_block_edges(at, insert, drop):
    token = _edit(_long_token(), at, insert, drop)
    want = oracle.decode(token)
    got = qv.decode_token(token)
    if want is None:
        assert got is None
    else:
        assert got is not None
        assert got["ciphertext"] == want["ciphertext"]
        assert got["tag"] == want["tag"]


@pytest.mark.parametrize(
    "swap", [{"-": "+"}, {"_": "/"}, {"-": "+", "_": "/"}], ids=["plus", "slash", "both"]
)
def test_standard_alphabet_opens_inside_vector_blocks(swap):
    token = _long_token()
    body = token[6:]
    assert any(c in body for c in swap), "the body should hold the swapped characters"
    changed = token[:6] + body.translate(str.maketrans(swap))
    assert qv.decrypt(changed, KEY)["data"] == text_of(190)

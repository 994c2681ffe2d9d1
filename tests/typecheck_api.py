"""Checked by `mypy --strict` (make lint), never run: what the stub accepts and refuses.

Each `type: ignore[code]` marks a call the type checker must refuse; strict mode
reports an ignore that is no longer needed, so a stub that grows too lax fails.
"""

from typing import assert_type

import qv

key = qv.generate_key()
assert_type(key, bytes)
assert_type(qv.__version__, str)

# Text parameters take str, bytes and bytearray. Dict variables of any narrower
# key or value type pass as metadata and aad; so does a mixed literal.
metadata: dict[str, str] = {"a": "1"}
raw_aad: dict[bytes, bytearray] = {b"tenant": bytearray(b"t9")}
mixed: dict[str | bytes, str] = {"a": "1", b"b": "2"}
token = qv.encrypt(b"data", key, bytearray(b"k1"), True, metadata, raw_aad)
assert_type(token, str)
qv.encrypt("data", key, "k1", metadata=mixed, aad=mixed)
qv.encrypt("data", key, "k1", metadata={"a": b"1", b"b": bytearray()}, aad="free text")
qv.encrypt("data", key, "k1", metadata=qv.decrypt(token, key)["metadata"])

opened = qv.decrypt(token, key, aad={"tenant": "t9"})
assert_type(opened["data"], str)
assert_type(opened["metadata"], dict[str, str])
assert_type(opened["key_id"], str)
assert_type(opened["deterministic"], bool)

assert_type(qv.peek_key_id(token), str | None)
assert_type(qv.token_fingerprint(token), str | None)
parts = qv.decode_token(token)
assert_type(parts, qv._native._TokenParts | None)
if parts is not None:
    assert_type(parts["nonce"], bytes)
    assert_type(parts["flags"], int)

derived = qv.derive_key_from_password("pw", "00" * 16, N=2**14, r=8, p=1)
assert_type(derived["key"], bytes)
assert_type(derived["salt_hex"], str)
assert_type(qv.derive_subkey(key, "ctx", salt=None), bytes)
qv.wipe_buffer(bytearray(key))
qv.wipe_buffer(memoryview(bytearray(4)))

# Refused: keys are bytes only, aad is never bytes nor a list, metadata keys
# are text, a salt is bytes or None, and the result dicts have fixed keys.
qv.encrypt("data", bytearray(key), "k1")  # type: ignore[arg-type]
qv.decrypt(token, memoryview(key))  # type: ignore[arg-type]
qv.encrypt("data", key, "k1", aad=b"x")  # type: ignore[arg-type]
qv.decrypt(token, key, aad=["x"])  # type: ignore[arg-type]
qv.encrypt("data", key, "k1", metadata={1: "x"})  # type: ignore[type-var]
qv.derive_subkey(key, "ctx", salt=bytearray())  # type: ignore[arg-type]
qv.derive_key_from_password("pw", N="16384")  # type: ignore[arg-type]
qv.wipe_buffer("text")  # type: ignore[arg-type]
qv.generate_key(32)  # type: ignore[call-arg]
qv.decrypt(token, key)["plaintext"]  # type: ignore[typeddict-item]

# Many values at once: rows of text or None, one aad or one per row, keys as
# one key or by key id; options by keyword only.
tokens = qv.encrypt_many(["a", b"b", bytearray(b"c"), None], key, "k1", deterministic=True)
assert_type(tokens, list[str | None])
qv.encrypt_many(("a",), key, b"k1", metadata=metadata, aad=[raw_aad], threads=2)
assert_type(qv.decrypt_many(tokens, key, aad="t", errors="null"), list[str | None])
qv.decrypt_many(tokens, {"k1": key}, aad=[None, "x", {"a": "b"}, None])
qv.decrypt_many(tokens, {b"k1": key}, aad=(raw_aad,), threads=None)
qv.encrypt_many(["a"], key, "k1", True)  # type: ignore[call-arg]
qv.decrypt_many(tokens, key, errors="ignore")  # type: ignore[arg-type]
qv.decrypt_many(tokens, {"k1": bytearray(key)})  # type: ignore[arg-type]

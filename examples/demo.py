"""A tour of qv: seal a record, look inside the token, open it, and make keys."""

import qv


def main() -> None:
    print("qv", qv.__version__)

    # A random key, with a key id that names it inside every token.
    key = qv.generate_key()
    metadata: dict[str, str] = {"purpose": "demo"}
    token = qv.encrypt(
        "card ending 4242", key, "billing-2026", metadata=metadata, aad={"user": "alice"}
    )
    print("token:      ", token)

    # Inspection needs no key and authenticates nothing: use it to pick the key.
    print("key id:     ", qv.peek_key_id(token))
    print("fingerprint:", qv.token_fingerprint(token))
    parts = qv.decode_token(token)
    assert parts is not None
    print("nonce:      ", parts["nonce"].hex(), "metadata:", parts["metadata"])

    # Opening checks the tag over key id, metadata and the same aad.
    opened = qv.decrypt(token, key, aad={"user": "alice"})
    print("opened:     ", opened["data"], opened["metadata"])
    assert opened["data"] == "card ending 4242"

    # A key from a password: keep salt_hex to derive the same key later.
    derived = qv.derive_key_from_password("correct horse battery staple")
    again = qv.derive_key_from_password("correct horse battery staple", derived["salt_hex"])
    assert again["key"] == derived["key"]

    # A subkey per purpose; deterministic mode gives equal tokens for equal inputs.
    email_key = qv.derive_subkey(derived["key"], "email-index")
    first = qv.encrypt("alice@example.com", email_key, "email-v1", deterministic=True)
    assert first == qv.encrypt("alice@example.com", email_key, "email-v1", deterministic=True)
    print("lookup token:", first)

    # Erase a key held in a mutable buffer once it is no longer needed.
    secret = bytearray(email_key)
    qv.wipe_buffer(secret)
    assert secret == bytes(32)
    print("wiped:      ", secret.hex())


if __name__ == "__main__":
    main()

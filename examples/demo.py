"""Seal a record, look inside the token without the key, and open it again."""

import qv


def main() -> None:
    key = qv.generate_key()
    token = qv.encrypt(
        "card ending 4242",
        key,
        "billing-2026",
        metadata={"purpose": "demo"},
        aad={"user": "alice"},
    )
    print("token:      ", token)
    print("key id:     ", qv.peek_key_id(token))
    print("fingerprint:", qv.token_fingerprint(token))
    print("components: ", qv.decode_token(token))
    opened = qv.decrypt(token, key, aad={"user": "alice"})
    print("opened:     ", opened)
    assert opened["data"] == "card ending 4242"


if __name__ == "__main__":
    main()

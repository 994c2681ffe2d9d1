"""Sizes and limits that the key ring and the command line share.

Standard library only. The native core checks the same values on its side
(key size, scrypt's minimum N and memory cap); tests hold the two together.
"""

from typing import Final

# Every key: the cipher key, the HMAC key of deterministic mode, a wrapping key.
KEY_SIZE: Final = 32

# scrypt settings qv writes (its defaults), and the range it accepts from a
# stored document or the command line, checked before any work is done so that
# a hostile document cannot make a process spend minutes or gigabytes.
SCRYPT_DEFAULTS: Final = (131072, 8, 1)
SCRYPT_MIN_N: Final = 2**14
SCRYPT_MAX_N: Final = 2**20
SCRYPT_MAX_R: Final = 32
SCRYPT_MAX_P: Final = 16
# The memory scrypt may take (see scrypt_memory), as the native module caps it.
SCRYPT_MAX_MEMORY: Final = 256 * 1024 * 1024
# The work (p x r x N) a stored key ring may ask for: twice the defaults,
# so that opening any document costs at most a few normal loads.
SCRYPT_MAX_WORK: Final = 2 * 131072 * 8 * 1


def scrypt_memory(n: int, r: int, p: int) -> int:
    """The bytes OpenSSL allocates for scrypt(N, r, p), which is what its cap counts.

    The table of N blocks, two working blocks and the p blocks of the first
    PBKDF2 pass, each 128 * r bytes.
    """
    return 128 * r * (n + 2 + p)


# Creation times, in UTC to the second, in stored rings and listings.
TIME_FORMAT: Final = "%Y-%m-%dT%H:%M:%SZ"

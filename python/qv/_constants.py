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
# scrypt's working memory (128 * r * N bytes), as the native module caps it.
SCRYPT_MAX_MEMORY: Final = 256 * 1024 * 1024

# Creation times, in UTC to the second, in stored rings and listings.
TIME_FORMAT: Final = "%Y-%m-%dT%H:%M:%SZ"

// qv: sealed, self-describing qv.v2 tokens (ChaCha20-Poly1305), and the keys
// to make them. include/qv holds the library's public headers, one per area
// (this one brings them all); they use only the C++ standard library.
//
//   <qv/types.h>      byte buffers that cleanse themselves, views, metadata
//   <qv/constants.h>  sizes and limits
//   <qv/errors.h>     the two exception types every call throws
//   <qv/token.h>      encrypt / decrypt one value
//   <qv/inspect.h>    read a token without its key
//   <qv/kdf.h>        scrypt and HKDF-SHA256 key derivation
//   <qv/bulk.h>       many values per call, over threads
//   <qv/blind.h>      blind index values of many values
//
// Link with the CMake target qv::qv (find_package(qv CONFIG)) or with
// `pkg-config --cflags --libs qv`.
#pragma once

#include <qv/blind.h>
#include <qv/bulk.h>
#include <qv/constants.h>
#include <qv/errors.h>
#include <qv/inspect.h>
#include <qv/kdf.h>
#include <qv/token.h>
#include <qv/types.h>

// SHA-256 for the record's chain of rows, through OpenSSL's libcrypto, so
// that the record reader, which is fuzzed without Qt, checks the chain itself.
#pragma once

#include <string>
#include <string_view>

// The digest of `bytes` as 64 lowercase hex digits.
std::string sha256Hex(std::string_view bytes);

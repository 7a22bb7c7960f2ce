// SHA-256 (FIPS 180-4) in plain C++, for the record's chain of rows, which
// the fuzzed record reader checks without Qt.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
public:
    Sha256();
    void add(std::string_view bytes);
    // The digest as 64 lowercase hex digits; the object is spent after it.
    std::string hex();

private:
    void block(const unsigned char *p);
    std::uint32_t h_[8];
    unsigned char buf_[64];
    std::size_t used_ = 0;
    std::uint64_t bytes_ = 0;
};

// The digest of `bytes` as 64 lowercase hex digits.
std::string sha256Hex(std::string_view bytes);

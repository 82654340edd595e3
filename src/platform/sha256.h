// SHA-256 of a byte string, so that a journal entry names exactly which
// version of an order file was loaded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pvd {

class Sha256 {
public:
    Sha256();
    void Update(std::string_view bytes);
    // The digest of everything passed to Update; the object is spent afterwards.
    std::array<std::uint8_t, 32> Final();

private:
    void Block(const std::uint8_t* p);
    std::array<std::uint32_t, 8> h_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes hashed so far
};

// The digest as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace pvd

// The code units of a document's bytes, for the scans that run before any
// parser sees it (the bounds check, the entity expansion).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pvd::xml::detail {

// Bytes, or the 16-bit units of UTF-16 (told by a byte order mark or by a
// first '<' of two bytes). Markup is ASCII in every encoding an order file
// uses, so the scans compare units with ASCII characters.
class Units {
public:
    explicit Units(std::string_view b) : b_(b) {
        auto byte = [&](std::size_t i) { return i < b.size() ? static_cast<unsigned char>(b[i]) : 0x100u; };
        if (byte(0) == 0xFF && byte(1) == 0xFE) {
            wide_ = little_ = true;
            start_ = 2;
        } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
            wide_ = true;
            start_ = 2;
        } else if (byte(0) == '<' && byte(1) == 0) {
            wide_ = little_ = true;
        } else if (byte(0) == 0 && byte(1) == '<') {
            wide_ = true;
        }
        size_ = (b.size() - start_) / (wide_ ? 2 : 1);
    }
    std::size_t size() const { return size_; }
    unsigned operator[](std::size_t i) const {
        if (!wide_) return static_cast<unsigned char>(b_[start_ + i]);
        const auto lo = static_cast<unsigned char>(b_[start_ + 2 * i + (little_ ? 0 : 1)]);
        const auto hi = static_cast<unsigned char>(b_[start_ + 2 * i + (little_ ? 1 : 0)]);
        return lo | (hi << 8);
    }
    // The byte order mark, if any: what comes before the first unit.
    std::string_view prefix() const { return b_.substr(0, start_); }
    // Appends one unit in this document's encoding.
    void put(std::string& out, unsigned unit) const {
        if (!wide_) {
            out += static_cast<char>(unit);
        } else if (little_) {
            out += static_cast<char>(unit & 0xFF);
            out += static_cast<char>(unit >> 8);
        } else {
            out += static_cast<char>(unit >> 8);
            out += static_cast<char>(unit & 0xFF);
        }
    }
    std::size_t bytesPerUnit() const { return wide_ ? 2 : 1; }

private:
    std::string_view b_;
    std::size_t start_ = 0, size_ = 0;
    bool wide_ = false, little_ = false;
};

// The bounds check for a document whose entities have been expanded into
// its bytes: the reasons say so, and give no line.
bool CheckExpandedDocumentBounds(std::string_view bytes, std::string& reason);

}  // namespace pvd::xml::detail

#pragma once

#include "Format_p.h"

#include <cstring>
#include <string>

namespace sqlcarve {

namespace detail {

inline void putUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

inline uint16_t unit16(const uint8_t* p, bool bigEndian) { return bigEndian ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]); }

// The length of the strict UTF-8 sequence (no overlong, no surrogate) that starts at p, whose
// first byte is 0x80 or more, within `left` bytes; 0 when there is none.
inline size_t sequenceAt(const uint8_t* p, size_t left)
{
    const uint8_t c = p[0];
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (len > left)
        return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return len;
}

} // namespace detail

// Strict UTF-8 (no overlongs, no surrogates) or well-formed UTF-16 in the given byte order.
// A character no one types: NUL (zeroed space, or a length byte read as a value) or another C0
// control but tab and line breaks (serial types read as text, when a record is read a few bytes
// off). Readers would cut a text at the first, and no keyboard gives the others.
inline bool hasControlCharacter(const uint8_t* p, size_t n, uint32_t encoding)
{
    auto control = [](uint32_t u) { return u < 0x20 && u != '\t' && u != '\n' && u != '\r'; };
    if (encoding == fmt::Utf8) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            // Nonzero exactly when some byte is below 0x20.
            if (((w - 0x2020202020202020ull) & ~w & 0x8080808080808080ull) == 0)
                continue;
            for (size_t k = 0; k < 8; ++k)
                if (control(p[i + k]))
                    return true;
        }
        for (; i < n; ++i)
            if (control(p[i]))
                return true;
        return false;
    }
    const bool be = encoding == fmt::Utf16be;
    for (size_t i = 0; i + 1 < n; i += 2)
        if (control(detail::unit16(p + i, be)))
            return true;
    return false;
}

inline bool validText(const uint8_t* p, size_t n, uint32_t encoding)
{
    if (encoding != fmt::Utf8) {
        if (n & 1)
            return false;
        const bool be = encoding == fmt::Utf16be;
        for (size_t i = 0; i < n; i += 2) {
            const uint16_t u = detail::unit16(p + i, be);
            if (u >= 0xD800 && u < 0xDC00) {
                if (i + 2 >= n)
                    return false;
                const uint16_t l = detail::unit16(p + i + 2, be);
                if (l < 0xDC00 || l >= 0xE000)
                    return false;
                i += 2;
            } else if (u >= 0xDC00 && u < 0xE000) {
                return false;
            }
        }
        return true;
    }
    size_t i = 0;
    while (i < n) {
        // Runs of ASCII are the common case: skipped eight bytes at a time, and up to the first
        // byte of a sequence (the lowest high bit, in little-endian order) at once.
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            const uint64_t high = w & 0x8080808080808080ull;
            if (high) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
                i += size_t(__builtin_ctzll(high) >> 3);
#endif
                break;
            }
            i += 8;
        }
        if (i >= n)
            break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const size_t len = detail::sequenceAt(p + i, n - i);
        if (!len)
            return false;
        i += len;
    }
    return true;
}

// Text a person could have typed: it decodes (validText) and holds no control character
// (hasControlCharacter). In UTF-8 both are told in one pass, eight bytes at a time where none
// is a control character or starts a sequence.
// UTF-16 text read one byte off: each ASCII character becomes a unit of the form U+XX00 (the
// letter a, U+0061, reads as U+6100), which is valid text. Real text holds few such units.
inline bool shiftedAscii(const uint8_t* p, size_t n, uint32_t encoding)
{
    const bool be = encoding == fmt::Utf16be;
    size_t shifted = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        const uint16_t u = detail::unit16(p + i, be);
        shifted += (u & 0xFF) == 0 && (u >> 8) >= 0x20 && (u >> 8) < 0x7F;
    }
    return shifted >= 2 && shifted * 4 > n; // more than half of the n / 2 units
}

inline bool plainText(const uint8_t* p, size_t n, uint32_t encoding)
{
    if (encoding != fmt::Utf8)
        return validText(p, n, encoding) && !hasControlCharacter(p, n, encoding) && !shiftedAscii(p, n, encoding);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    size_t i = 0;
    while (i < n) {
        while (i + 8 <= n) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            // Bytes of 0x80 or more, and bytes below 0x20 (a borrow only flags bytes above a
            // true one, so the lowest flag is always a true one).
            const uint64_t look = (w & kHighs) | ((w - 0x20 * kOnes) & ~w & kHighs);
            if (look) {
                i += size_t(__builtin_ctzll(look) >> 3);
                break;
            }
            i += 8;
        }
        if (i >= n)
            break;
        const uint8_t c = p[i];
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return false;
            ++i;
            continue;
        }
        // A sequence's bytes are all 0x80 or more: none is a control character.
        const size_t len = detail::sequenceAt(p + i, n - i);
        if (!len)
            return false;
        i += len;
    }
    return true;
#else
    return validText(p, n, encoding) && !hasControlCharacter(p, n, encoding);
#endif
}

// Text from the database encoding to UTF-8; broken UTF-16 units become U+FFFD.
inline std::string textToUtf8(const uint8_t* p, size_t n, uint32_t encoding)
{
    if (encoding == fmt::Utf8)
        return std::string(reinterpret_cast<const char*>(p), n);
    std::string out;
    out.reserve(n);
    const bool be = encoding == fmt::Utf16be;
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t u = detail::unit16(p + i, be);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < n) {
            const uint16_t l = detail::unit16(p + i + 2, be);
            if (l >= 0xDC00 && l < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00);
                i += 2;
            } else {
                u = 0xFFFD;
            }
        } else if (u >= 0xD800 && u < 0xE000) {
            u = 0xFFFD;
        }
        detail::putUtf8(out, u);
    }
    return out;
}

// The start of a text cut short, in UTF-8: a character the cut split is left out.
inline std::string textPrefixToUtf8(const uint8_t* p, size_t n, uint32_t encoding)
{
    if (encoding == fmt::Utf8) {
        // Back up over a lead byte whose sequence the cut left incomplete.
        size_t end = n;
        for (size_t back = 0; back < 4 && back < n; ++back) {
            const uint8_t c = p[n - 1 - back];
            if ((c & 0xC0) == 0x80)
                continue;
            const size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
            if (back + 1 < len)
                end = n - 1 - back;
            break;
        }
        return std::string(reinterpret_cast<const char*>(p), end);
    }
    size_t end = n & ~size_t(1);
    if (end >= 2) {
        const uint16_t last = detail::unit16(p + end - 2, encoding == fmt::Utf16be);
        if (last >= 0xD800 && last < 0xDC00)
            end -= 2; // a high surrogate whose pair the cut took
    }
    return textToUtf8(p, end, encoding);
}

} // namespace sqlcarve

// ASCII helpers for protocol and file texts: case folding that never depends
// on the process locale, and hexadecimal digits.
#pragma once

#include <algorithm>
#include <string_view>

namespace qeltv {

constexpr char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char asciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Equal when they differ at most in the case of ASCII letters; other bytes
// must match exactly.
constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

// Equal texts, compared without an early exit: the time taken depends on the
// expected text's length alone, never on how much of a guess was right, so
// it does not help anyone guess a password byte by byte. With
// `ignoreAsciiCase`, ASCII letters match in either case.
constexpr bool equalsInConstantTime(std::string_view given, std::string_view expected,
                                    bool ignoreAsciiCase = false) {
    unsigned difference = given.size() != expected.size() ? 1u : 0u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        char a = i < given.size() ? given[i] : '\0';
        char b = expected[i];
        if (ignoreAsciiCase) {
            a = asciiLower(a);
            b = asciiLower(b);
        }
        difference |= static_cast<unsigned char>(a ^ b);
    }
    return difference == 0;
}

// The value of a hexadecimal digit in either case, or -1 for any other byte.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace qeltv

#pragma once

#include <cstdint>

// The five 8-bit Windows code pages of the legacy text form, by Foundation encoding number
// (11 to 15, see LegacyEncoding). Bytes 0x00-0x7F are ASCII in all of them. A byte that a
// code page leaves undefined stands for the character U+0000 + byte (the C1 control for
// 0x80-0x9F), as the Windows converter reads it, so every byte decodes and every decoded
// character encodes back to the same byte.
class WindowsCodePage {
public:
    static bool isSupported(int encoding);
    // The Windows code page number (1250 to 1254) of an encoding number, 0 when unknown.
    static int codePageNumber(int encoding);

    // The character of a byte; U+FFFD for an unknown encoding number.
    static char16_t toUnicode(int encoding, unsigned char byte);
    // The byte of a UTF-16 unit, or -1 when the code page has none (surrogates never have one).
    static int fromUnicode(int encoding, char16_t unit);
};

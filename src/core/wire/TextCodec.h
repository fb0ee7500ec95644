#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

// The text codec: message text travels in the text-field form (UTF-8, the frame separator 0xA6
// carried as 0x01, one end byte 0x1F), every other string field in the legacy Windows code page
// of the setting "encoding".

// Raw converters over caller buffers. A null output buffer counts instead of writing. Both
// return the units written (or needed) including a terminating zero; 0 for absent input;
// utf8ToUtf16 returns -1 for a malformed sequence.
int utf16ToUtf8(unsigned char *out, int capacity, const char16_t *units, int count);
int utf8ToUtf16(char16_t *out, int capacity, const unsigned char *bytes, int count);

// Every byte of the buffer equal to `from` becomes `to`.
void replaceBytes(QByteArray &data, unsigned char from, unsigned char to);

// Foundation encoding numbers of the five code pages, in the order they are tried.
enum LegacyEncoding : int {
    kEncodingWindows1251 = 11, // Cyrillic
    kEncodingWindows1252 = 12, // Western
    kEncodingWindows1253 = 13, // Greek
    kEncodingWindows1254 = 14, // Turkish
    kEncodingWindows1250 = 15, // Central European
};

// The cached legacy code page (read from "encoding" on first use).
int legacyTextEncoding();
QList<int> legacyEncodingCandidates();
// Forget the cached code page so the next call reads "encoding" again (tests, settings reload).
void resetLegacyTextEncodingCache();

// Text-field form. A null string gives a null QByteArray.
QByteArray encodeTextField(const QString &text);
QString decodeTextField(const QByteArray &bytes);

// UTF-8 data sent as a raw field (names and details to peers that take UTF-8): the frame
// separator 0xA6 travels as 0x01 as in the text-field form, and U+0000 and U+0001, which would
// end the frame early or come back as the separator, travel as blanks. No end byte; receivers
// read it with decodeLegacyText.
QByteArray encodeUtf8DataField(const QString &text);

// Legacy form; may switch "encoding" to the first candidate that holds the text.
QByteArray encodeLegacyText(const QString &text);
QString decodeLegacyText(const QByteArray &bytes);

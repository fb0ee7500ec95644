#pragma once

#include <QString>

#include <cstdint>

// Writes byte counts for people: decimal steps of 1000 ("bytes", "KB", "MB", ... "EB"), the
// number in the user's locale, two fraction digits above 1000 bytes. The two switches are kept
// for callers that set them; the wording does not depend on them.
class ByteCountFormatter {
public:
    QString stringFromByteCount(std::int64_t count) const;

    bool allowsNonnumericFormatting() const { return m_allowsNonnumericFormatting; }
    void setAllowsNonnumericFormatting(bool v) { m_allowsNonnumericFormatting = v; }
    bool zeroPadsFractionDigits() const { return m_zeroPadsFractionDigits; }
    void setZeroPadsFractionDigits(bool v) { m_zeroPadsFractionDigits = v; }

private:
    bool m_allowsNonnumericFormatting = true;
    bool m_zeroPadsFractionDigits = false;
};

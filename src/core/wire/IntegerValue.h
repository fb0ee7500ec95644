#pragma once

#include <QStringView>

#include <optional>

// Numbers in received text fields, read the way every copy reads them: blanks at the start
// skipped, an optional sign, then the decimal digits up to the first other character. A value
// beyond 64 bits stops at the largest (or smallest) one.

// The number, or nothing when no digit follows the blanks and the sign.
std::optional<qint64> leadingInteger(QStringView text);
// The number, 0 when there is none.
qint64 integerValue(QStringView text);

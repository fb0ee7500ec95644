#pragma once

#include <QTranslator>

// Lets the texts of Qt Designer forms (and every tr()) come from the strings tables: the
// English text is the key in the default table. Installed once by the application.
class StringsTranslator : public QTranslator {
public:
    using QTranslator::QTranslator;
    QString translate(const char *context, const char *sourceText, const char *disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }
};

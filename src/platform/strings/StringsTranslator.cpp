#include "platform/strings/StringsTranslator.h"

#include "platform/strings/Strings.h"

QString StringsTranslator::translate(const char *context, const char *sourceText, const char *disambiguation,
                                     int n) const {
    Q_UNUSED(context);
    Q_UNUSED(disambiguation);
    Q_UNUSED(n);
    if (!sourceText || !*sourceText) return {};
    const QString key = QString::fromUtf8(sourceText);
    const QString text = Strings::localized(key);
    // An empty answer tells Qt to keep the source text, which is the same thing.
    return text == key ? QString() : text;
}

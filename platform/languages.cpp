#include "languages.h"

#include <QRegularExpression>

namespace lang {

namespace {

struct Alias
{
    const char *spelling;
    const char *name;
};

// Spellings after the generic normalisation (lower case, "_" separators).
const Alias aliases[] = {
    {"zh_tw", "traditional_chinese"},
    {"zh_hk", "traditional_chinese"},
    {"zh_hant", "traditional_chinese"},
    {"chinese_traditional", "traditional_chinese"},
    {"zh", "chinese"},
    {"zh_cn", "chinese"},
    {"zh_hans", "chinese"},
    {"simplified_chinese", "chinese"},
    {"chinese_simplified", "chinese"},
    {"cs", "czech"},
    {"čeština", "czech"},
    {"de", "german"},
    {"deutsch", "german"},
    {"en", "english"},
    {"es", "spanish"},
    {"español", "spanish"},
    {"fr", "french"},
    {"français", "french"},
    {"it", "italian"},
    {"italiano", "italian"},
    {"ja", "japanese"},
    {"日本語", "japanese"},
    {"ko", "korean"},
    {"한국어", "korean"},
    {"pl", "polish"},
    {"polski", "polish"},
    {"ru", "russian"},
    {"русский", "russian"},
};

QString lookUp(const QString &spelling)
{
    for (const Alias &alias : aliases) {
        if (spelling == QString::fromUtf8(alias.spelling))
            return QString::fromLatin1(alias.name);
    }
    return QString();
}

} // namespace

QString Languages::normalizeLanguageName(const QString &name)
{
    static const QRegularExpression separators(QStringLiteral("[\\s-]+"));
    QString normalized = name.trimmed().toLower();
    normalized.replace(separators, QStringLiteral("_"));

    // Locale names: drop the encoding and modifier ("de_de.utf-8", "sr_rs@latin").
    static const QRegularExpression localeName(
        QStringLiteral("^([a-z]{2,3})(_[a-z]{2,4})?([.@].*)?$"));
    const QRegularExpressionMatch locale = localeName.match(normalized);
    if (locale.hasMatch()) {
        const QString withRegion = lookUp(locale.captured(1) + locale.captured(2));
        if (!withRegion.isEmpty())
            return withRegion;
        const QString language = lookUp(locale.captured(1));
        if (!language.isEmpty())
            return language;
    }

    const QString known = lookUp(normalized);
    return known.isEmpty() ? normalized : known;
}

} // namespace lang

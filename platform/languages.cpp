#include "languages.h"

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

// Runs of ASCII white space and "-" become one "_".
QString withUnderscores(const QString &text)
{
    QString result;
    result.reserve(text.size());
    bool inRun = false;
    for (const QChar c : text) {
        const bool separator = c == QLatin1Char('-') || c == QLatin1Char(' ')
                || (c >= QLatin1Char('\t') && c <= QLatin1Char('\r'));
        if (!separator)
            result.append(c);
        else if (!inRun)
            result.append(QLatin1Char('_'));
        inRun = separator;
    }
    return result;
}

// The number of ASCII lower-case letters at from.
qsizetype lettersAt(const QString &text, qsizetype from)
{
    qsizetype end = from;
    while (end < text.size() && text.at(end) >= QLatin1Char('a') && text.at(end) <= QLatin1Char('z'))
        ++end;
    return end - from;
}

// "ll[l]", optionally "_rr[rr]", optionally "." or "@" and anything after:
// language gets the letters, region the "_" and its letters.
bool splitLocaleName(const QString &text, QString *language, QString *region)
{
    const qsizetype languageLength = lettersAt(text, 0);
    if (languageLength < 2 || languageLength > 3)
        return false;
    qsizetype end = languageLength;
    if (end < text.size() && text.at(end) == QLatin1Char('_')) {
        const qsizetype regionLength = lettersAt(text, end + 1);
        if (regionLength < 2 || regionLength > 4)
            return false;
        *region = text.mid(end, regionLength + 1);
        end += regionLength + 1;
    }
    *language = text.left(languageLength);
    return end == text.size() || text.at(end) == QLatin1Char('.') || text.at(end) == QLatin1Char('@');
}

} // namespace

QString Languages::normalizeLanguageName(const QString &name)
{
    const QString normalized = withUnderscores(name.trimmed().toLower());

    // Locale names: drop the encoding and modifier ("de_de.utf-8", "sr_rs@latin").
    QString language, region;
    if (splitLocaleName(normalized, &language, &region)) {
        const QString withRegion = lookUp(language + region);
        if (!withRegion.isEmpty())
            return withRegion;
        const QString known = lookUp(language);
        if (!known.isEmpty())
            return known;
    }

    const QString known = lookUp(normalized);
    return known.isEmpty() ? normalized : known;
}

} // namespace lang

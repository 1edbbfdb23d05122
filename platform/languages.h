#ifndef LANGUAGES_H
#define LANGUAGES_H

#include <QString>

namespace lang {

// Names of the user interface languages the installation's programs ship.
class Languages
{
public:
    // The one canonical spelling of a language name: lower case, surrounding
    // white space removed, blanks and hyphens inside turned into "_", and the
    // common other spellings (native names, ISO codes, locale names such as
    // "de_DE.UTF-8") mapped to the name the programs use, e.g. "german" or
    // "traditional_chinese". A name it does not know keeps its normalised
    // spelling.
    static QString normalizeLanguageName(const QString &name);
};

} // namespace lang

#endif // LANGUAGES_H

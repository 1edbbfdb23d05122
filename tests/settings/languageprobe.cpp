// Run by the language tests in a process of its own, with the locale
// variables they chose, and prints what this machine's language comes out as.
//
//   languageprobe system     systemLanguageName()
//   languageprobe record     the language of the record read from an empty store,
//                            which detectedLanguage() gives

#include "languagedetection.h"
#include "rendersettings.h"

#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // No application object: it would set the C library's locale, which may
    // not be installed here; the toolkit's locale only needs the variables.
    if (argc != 2)
        return 2;
    QString language;
    if (std::strcmp(argv[1], "system") == 0) {
        language = systemLanguageName();
    } else if (std::strcmp(argv[1], "record") == 0) {
        const QTemporaryDir folder;
        QSettings store(folder.filePath(QStringLiteral("settings.conf")), QSettings::NativeFormat);
        language = readSettings(store).language;
    } else {
        return 2;
    }
    std::printf("%s\n", language.toUtf8().constData());
    return 0;
}

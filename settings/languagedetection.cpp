#include "languagedetection.h"

#include "ssettings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

QString detectedLanguage()
{
    // A function-local static is initialised exactly once, and other threads
    // calling meanwhile wait for it.
    static const QString language = detectLanguage();
    return language;
}

QString detectLanguage()
{
    const QString fallback = systemLanguageName();
    const QString path = desktopSettingsFilePath();
    if (path.isEmpty())
        return fallback;
    const std::shared_ptr<SSettings> desktop = SSettings::fromPath(path);
    if (!desktop || !desktop->isValid())
        return fallback;
    const QString language = desktop->value(QStringLiteral("misc.language"), QVariant()).toString();
    if (!language.isEmpty()) {
        qDebug() << "Detected language from Solvane Studio:" << language;
        return language;
    }
    qDebug() << "Detected fallback language:" << fallback;
    return fallback;
}

QString systemLanguageName()
{
    const QLocale locale = QLocale::system();
    switch (locale.language()) {
    case QLocale::Chinese:
        return locale.script() == QLocale::TraditionalHanScript
                ? QStringLiteral("traditional_chinese")
                : QStringLiteral("chinese");
    case QLocale::Czech:
        return QStringLiteral("czech");
    case QLocale::French:
        return QStringLiteral("french");
    case QLocale::German:
        return QStringLiteral("german");
    case QLocale::Italian:
        return QStringLiteral("italian");
    case QLocale::Japanese:
        return QStringLiteral("japanese");
    case QLocale::Korean:
        return QStringLiteral("korean");
    case QLocale::Polish:
        return QStringLiteral("polish");
    case QLocale::Russian:
        return QStringLiteral("russian");
    case QLocale::Spanish:
        return QStringLiteral("spanish");
    default:
        return QStringLiteral("english");
    }
}

QString desktopSettingsFilePath()
{
    QString folder = qEnvironmentVariable("SOLVANE");
    if (folder.isEmpty())
        folder = QStringLiteral("/usr/local/solvane");
    const QDir installation(folder);
    if (!installation.exists())
        return QString();
    const QFileInfo file(installation.filePath(QStringLiteral("SVSettings.xml")));
    return file.isFile() ? file.absoluteFilePath() : QString();
}

#ifndef SSETTINGS_H
#define SSETTINGS_H

#include <QHash>
#include <QString>
#include <QVariant>

#include <memory>

// Read-only view of the desktop product's settings file ("SVSettings.xml").
//
// The file is UTF-8 XML with one root element "settings" that holds one
// "value" element per setting; the "key" attribute names the setting and the
// element's text is its value:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <settings>
//     <value key="misc.language">german</value>
//     <value key="render.threads">8</value>
//   </settings>
//
// Keys are dotted names, compared exactly. Other elements directly inside
// "settings" are skipped with their content, so newer files stay readable. A
// key given twice takes its last value. The file counts as invalid when it is
// not well-formed XML, its root is not "settings", a "value" lacks a non-empty
// "key" or holds elements instead of text, or it is larger than 16 MiB.
class SSettings
{
public:
    // The settings of the file at path; null when the file is missing or
    // cannot be opened. A file that opens but does not parse gives an object
    // whose isValid() is false.
    static std::shared_ptr<SSettings> fromPath(const QString &path);

    bool isValid() const;

    // The value stored under key as a string, else defaultValue; an invalid
    // file holds no values.
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant()) const;

private:
    SSettings() = default;

    bool parse(const QByteArray &content);

    bool m_valid = false;
    QHash<QString, QString> m_values;
};

#endif // SSETTINGS_H

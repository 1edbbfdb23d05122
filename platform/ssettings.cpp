#include "ssettings.h"

#include <QFile>
#include <QXmlStreamReader>

namespace {

const qint64 maxFileSize = 16 * 1024 * 1024;

} // namespace

std::shared_ptr<SSettings> SSettings::fromPath(const QString &path)
{
    if (path.isEmpty())
        return nullptr;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    // One byte more than allowed tells an oversized file from one at the limit.
    const QByteArray content = file.read(maxFileSize + 1);
    std::shared_ptr<SSettings> settings(new SSettings);
    settings->m_valid = content.size() <= maxFileSize && settings->parse(content);
    if (!settings->m_valid)
        settings->m_values.clear();
    return settings;
}

bool SSettings::isValid() const
{
    return m_valid;
}

QVariant SSettings::value(const QString &key, const QVariant &defaultValue) const
{
    const auto found = m_values.constFind(key);
    return found == m_values.cend() ? defaultValue : QVariant(found.value());
}

bool SSettings::parse(const QByteArray &content)
{
    QXmlStreamReader xml(content);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("settings"))
        return false;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("value")) {
            xml.skipCurrentElement();
            continue;
        }
        const QString key = xml.attributes().value(QLatin1String("key")).toString();
        const QString text = xml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (key.isEmpty() || xml.hasError())
            return false;
        m_values.insert(key, text);
    }
    if (xml.hasError())
        return false;
    // Nothing but comments and white space may follow the root element.
    while (!xml.atEnd())
        xml.readNext();
    return !xml.hasError();
}

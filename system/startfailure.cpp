#include "startfailure.h"

#include <QStringList>

#include <cerrno>
#include <cstring>

namespace {

QStringList shortageTexts()
{
    QStringList texts;
    for (const int code : { EMFILE, ENFILE, ENOMEM, EAGAIN }) {
        // The toolkit words a few codes itself and takes the C library's
        // text for the others.
        for (const QString &text : { qt_error_string(code), QString::fromLocal8Bit(std::strerror(code)) }) {
            if (!text.isEmpty() && !texts.contains(text))
                texts << text;
        }
    }
    return texts;
}

} // namespace

bool isResourceShortage(const QString &errorText)
{
    static const QStringList texts = shortageTexts();
    for (const QString &text : texts) {
        if (errorText == text || errorText.endsWith(QStringLiteral(": ") + text))
            return true;
    }
    return false;
}

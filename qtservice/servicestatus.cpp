#include "servicestatus.h"

#include "printable.h"

#include <algorithm>
#include <iterator>

using namespace Qt::StringLiterals;

namespace {

using State = ServiceStatus::State;
using EndKind = ServiceStatus::EndKind;

// In the order of the enumeration; the file's words and the summary's.
const char *const stateWords[] = { "stopped", "starting", "up", "waiting to restart" };
const char *const endWords[] = { "", "exit", "signal", "no start" };

// ISO 8601 with the offset from UTC, so that a reader in another zone, or
// after a change of zone, reads the same moment.
QString stamp(const QDateTime &at)
{
    return at.isValid() ? at.toOffsetFromUtc(at.offsetFromUtc()).toString(Qt::ISODate) : QString();
}

QDateTime parseStamp(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODate);
}

template <size_t N>
int wordIndex(const char *const (&words)[N], const QString &word)
{
    const auto found = std::find_if(std::begin(words), std::end(words),
                                    [&](const char *candidate) { return word == QLatin1String(candidate); });
    return found == std::end(words) ? 0 : int(found - std::begin(words));
}

QString endSummary(const ServiceStatus::Process &process)
{
    switch (process.lastEnd) {
    case EndKind::Exited:
        return QStringLiteral("last exit code %1").arg(process.lastEndValue);
    case EndKind::Signalled:
        return QStringLiteral("last killed by signal %1").arg(process.lastEndValue);
    case EndKind::FailedToStart:
        return QStringLiteral("last start failed");
    case EndKind::None:
        break;
    }
    return QString();
}

// ", memory 1.2 GiB (peak 2.0 GiB), CPU time 5h2m" of a process that is up.
QString usageSummary(const ServiceStatus::Process &process)
{
    if (process.memoryBytes < 0 && process.cpuMicroseconds < 0)
        return QStringLiteral(", memory and CPU time unknown");
    const QString peak = process.memoryPeakBytes < 0 ? QStringLiteral("unknown")
                                                     : ServiceStatus::sizeText(process.memoryPeakBytes);
    const QString memory = process.memoryBytes < 0
            ? QStringLiteral(", memory unknown")
            : QStringLiteral(", memory %1 (peak %2)").arg(ServiceStatus::sizeText(process.memoryBytes), peak);
    const QString cpu = process.cpuMicroseconds < 0
            ? QStringLiteral(", CPU time unknown")
            : QStringLiteral(", CPU time ") + ServiceStatus::durationText(process.cpuMicroseconds / 1000);
    return memory + cpu;
}

QString stateSummary(const ServiceStatus::Process &process)
{
    switch (process.state) {
    case State::Up:
        return QStringLiteral("up (pid %1)").arg(process.pid);
    case State::WaitingToRestart:
        if (process.lastEnd == EndKind::None)
            return QStringLiteral("waiting to start");
        break;
    case State::Stopped:
    case State::Starting:
        break;
    }
    return QLatin1String(stateWords[int(process.state)]);
}

// A count the file gives; -1 (unknown) for anything else.
qint64 knownNumber(const QString &value)
{
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    return ok && number >= 0 ? number : -1;
}

void readProcessField(ServiceStatus::Process &process, const QString &field, const QString &value)
{
    if (field == u"state")
        process.state = State(wordIndex(stateWords, value));
    else if (field == u"since")
        process.since = parseStamp(value);
    else if (field == u"pid")
        process.pid = value.toLongLong();
    else if (field == u"started")
        process.startedAt = parseStamp(value);
    else if (field == u"restarts")
        process.restarts = value.toInt();
    else if (field == u"installation")
        process.installation = value == u"default" ? QString() : value;
    else if (field == u"last_end") {
        process.lastEnd = EndKind(wordIndex(endWords, value.section(u' ', 0, -2)));
        process.lastEndValue = value.section(u' ', -1).toInt();
    } else if (field == u"last_end_at")
        process.lastEndAt = parseStamp(value);
    else if (field == u"memory_bytes")
        process.memoryBytes = knownNumber(value);
    else if (field == u"memory_peak_bytes")
        process.memoryPeakBytes = knownNumber(value);
    else if (field == u"cpu_usec")
        process.cpuMicroseconds = knownNumber(value);
}

} // namespace

QByteArray ServiceStatus::toText(const QString &serviceName) const
{
    QStringList lines{ QStringLiteral("# What %1 supervises, as its daemon last saw it; rewritten on every change.")
                               .arg(printable(serviceName)) };
    // One line per value: escaped, a value cannot start a line of its own.
    const auto add = [&lines](const QString &key, const QString &value) {
        if (!value.isEmpty())
            lines << key + QLatin1Char('=') + printable(value);
    };
    add(QStringLiteral("daemon.pid"), QString::number(daemonPid));
    add(QStringLiteral("daemon.started"), stamp(daemonStartedAt));
    add(QStringLiteral("daemon.version"), version);
    add(QStringLiteral("daemon.installed"), installedVersion);
    for (const Process &process : processes) {
        const QString key = process.name + QLatin1Char('.');
        add(key + u"state"_s, QLatin1String(stateWords[int(process.state)]));
        add(key + u"since"_s, stamp(process.since));
        if (process.state == State::Up) {
            add(key + u"pid"_s, QString::number(process.pid));
            // Left out where unknown.
            const auto addKnown = [&](const QString &field, qint64 value) {
                if (value >= 0)
                    add(key + field, QString::number(value));
            };
            addKnown(u"memory_bytes"_s, process.memoryBytes);
            addKnown(u"memory_peak_bytes"_s, process.memoryPeakBytes);
            addKnown(u"cpu_usec"_s, process.cpuMicroseconds);
        }
        add(key + u"started"_s, stamp(process.startedAt));
        add(key + u"restarts"_s, QString::number(process.restarts));
        add(key + u"installation"_s, process.installation.isEmpty() ? u"default"_s : process.installation);
        if (process.lastEnd != EndKind::None) {
            add(key + u"last_end"_s, QStringLiteral("%1 %2").arg(QLatin1String(endWords[int(process.lastEnd)]))
                                             .arg(process.lastEndValue));
            add(key + u"last_end_at"_s, stamp(process.lastEndAt));
        }
    }
    add(QStringLiteral("rollbacks"), QString::number(rollbacks));
    add(QStringLiteral("rollbacks.last_at"), stamp(lastRollbackAt));
    add(QStringLiteral("rollbacks.last_removed"), lastRollbackPath);
    return lines.join(QLatin1Char('\n')).toUtf8() + '\n';
}

bool ServiceStatus::readText(const QByteArray &text)
{
    *this = ServiceStatus();
    for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char('#')) || equals <= 0)
            continue;
        // Values are kept escaped (toText()): read back as they were.
        const QString key = line.left(equals), value = fromPrintable(line.mid(equals + 1));
        if (key == u"daemon.pid")
            daemonPid = value.toLongLong();
        else if (key == u"daemon.started")
            daemonStartedAt = parseStamp(value);
        else if (key == u"daemon.version")
            version = value;
        else if (key == u"daemon.installed")
            installedVersion = value;
        else if (key == u"rollbacks")
            rollbacks = value.toInt();
        else if (key == u"rollbacks.last_at")
            lastRollbackAt = parseStamp(value);
        else if (key == u"rollbacks.last_removed")
            lastRollbackPath = value;
        else if (key.count(QLatin1Char('.')) == 1) {
            const QString name = key.section(QLatin1Char('.'), 0, 0);
            auto process = std::find_if(processes.begin(), processes.end(),
                                        [&](const Process &known) { return known.name == name; });
            if (process == processes.end()) {
                process = processes.insert(processes.end(), Process());
                process->name = name;
            }
            readProcessField(*process, key.section(QLatin1Char('.'), 1), value);
        }
    }
    return daemonPid > 0;
}

QString ServiceStatus::summary(const Process &process, const QDateTime &now)
{
    QString text = process.name + QStringLiteral(": ") + stateSummary(process);
    if (process.since.isValid()) {
        text += now.isValid() ? QStringLiteral(" for ") + durationText(std::max<qint64>(0, process.since.msecsTo(now)))
                              : QStringLiteral(" since ") + timeText(process.since);
    }
    if (process.state == State::Up)
        text += usageSummary(process);
    text += process.restarts == 1 ? QStringLiteral(", 1 restart")
                                  : QStringLiteral(", %1 restarts").arg(process.restarts);
    if (process.lastEnd != EndKind::None)
        text += QStringLiteral(", ") + endSummary(process) + QStringLiteral(" at ") + timeText(process.lastEndAt);
    text += process.installation.isEmpty() ? QStringLiteral(", default")
                                           : QStringLiteral(", override ") + process.installation;
    return printable(text);
}

QStringList ServiceStatus::summaries(const QDateTime &now) const
{
    QStringList lines;
    for (const Process &process : processes)
        lines << summary(process, now);
    return lines;
}

QStringList ServiceStatus::summariesOfGoneDaemon() const
{
    QStringList lines;
    for (const Process &process : processes) {
        const QString line = summary(process);
        const qsizetype named = process.name.size() + 2;
        lines << (process.state == State::Stopped
                      ? line
                      : line.left(named) + QStringLiteral("unknown, its daemon is gone; last recorded ") + line.mid(named));
    }
    return lines;
}

QString ServiceStatus::rollbackSummary() const
{
    if (rollbacks <= 0)
        return QString();
    return printable(QStringLiteral("rollbacks: %1, the last at %2 removed %3")
                             .arg(rollbacks)
                             .arg(timeText(lastRollbackAt), lastRollbackPath));
}

QString ServiceStatus::restartSummary() const
{
    if (installedVersion.isEmpty())
        return QString();
    return printable(QStringLiteral("restart pending: %1 installed, %2 running").arg(installedVersion, version));
}

QString ServiceStatus::sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    const char *const units[] = { "KiB", "MiB", "GiB", "TiB" };
    double value = double(bytes) / 1024;
    size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(units); ++unit)
        value /= 1024;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString ServiceStatus::durationText(qint64 ms)
{
    if (ms < 1000)
        return QStringLiteral("%1ms").arg(ms);
    const qint64 seconds = ms / 1000;
    const qint64 days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60;
    if (days > 0)
        return QStringLiteral("%1d%2h").arg(days).arg(hours);
    if (hours > 0)
        return QStringLiteral("%1h%2m").arg(hours).arg(minutes);
    if (minutes > 0)
        return QStringLiteral("%1m%2s").arg(minutes).arg(seconds % 60);
    return QStringLiteral("%1s").arg(seconds);
}

QString ServiceStatus::timeText(const QDateTime &at)
{
    if (!at.isValid())
        return QStringLiteral("an unknown time");
    const QDateTime local = at.toLocalTime();
    return local.toString(local.date() == QDate::currentDate() ? QStringLiteral("HH:mm:ss")
                                                                : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString ServiceStatus::pathFor(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name + QStringLiteral(".status");
}

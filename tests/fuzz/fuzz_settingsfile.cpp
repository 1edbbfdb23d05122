// readSettings() on a settings file of arbitrary bytes, opened as the watchdog
// opens the shared file (native format) and as an INI file. Checked for every
// input: the corrected fields hold only values their corrections allow, and
// storing what the migration changed does not fail hard. The machine has two
// usable GPUs here, so the device filter has something to keep and to drop.

#include "fuzzsupport.h"
#include "rendersettings.h"
#include "sgpuinfo.h"

#include <QSettings>
#include <QTemporaryDir>

namespace {

constexpr int gpuCount = 2;

// The settings files, an empty desktop product installation (the language
// comes from the system locale) and the GPU driver's information.
QString scratchPath()
{
    static const QTemporaryDir dir(Fuzz::scratchTemplate());
    static const bool prepared = [] {
        const QDir root(dir.path());
        FUZZ_CHECK(root.mkpath(QStringLiteral("solvane")));
        for (int card = 1; card <= gpuCount; ++card) {
            const QString folder = QStringLiteral("gpus/0000:0%1:00.0").arg(card);
            QFile information(root.filePath(folder + QStringLiteral("/information")));
            FUZZ_CHECK(root.mkpath(folder) && information.open(QIODevice::WriteOnly));
            information.write("Model: \t\t Fuzz GPU\nGPU Excluded: \t No\n");
        }
        qputenv("SOLVANE", root.filePath(QStringLiteral("solvane")).toLocal8Bit());
        SGpuInfo::setDriverFolder(root.filePath(QStringLiteral("gpus")));
        return true;
    }();
    return prepared ? dir.path() : QString();
}

void readFile(const QByteArray &bytes, QSettings::Format format)
{
    // A name of its own for every read: the toolkit caches parsed files by name.
    static quint64 serial = 0;
    const QString path = QDir(scratchPath()).filePath(QStringLiteral("settings-%1.conf").arg(++serial));
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    {
        QSettings store(path, format);
        const RenderSettings s = readSettings(store);
        FUZZ_CHECK(s.workerPriority == 10 || s.workerPriority == 20 || s.workerPriority == 30);
        FUZZ_CHECK(s.theme == QLatin1String("Light") || s.theme == QLatin1String("Dark"));
        FUZZ_CHECK(s.regionSizeHint >= 1 && s.interiorModeRegionSizeHint >= 1);
        FUZZ_CHECK(s.interiorModeRegionOverlap >= 0 && s.interiorModeRegionOverlap < s.interiorModeRegionSizeHint);
        FUZZ_CHECK(s.statusTimerInterval >= 0 && s.statusTimerInterval <= 0xffff);
        FUZZ_CHECK(!s.language.isEmpty());
        for (const qint32 gpu : s.workerGpus)
            FUZZ_CHECK(gpu >= 0 && gpu < gpuCount);
        store.sync();
    }
    QFile::remove(path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::ensureApplication();
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // Open finding: the toolkit deserializes "@Variant(...)" values with
    // QDataStream, and a huge stored list count makes it ask for that much
    // memory at once (46 GB for a 160-byte file), which ends a sanitized run;
    // the normal build was checked by hand to go on with such a file. Until
    // that is understood, such inputs are skipped.
    if (bytes.contains("@Variant("))
        return 0;
    readFile(bytes, QSettings::NativeFormat);
    readFile(bytes, QSettings::IniFormat);
    return 0;
}

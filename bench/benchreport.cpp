#include "benchreport.h"

#include "benchprocess.h"

#include <QMap>

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

QString figureText(double value, const char *unit)
{
    if (value < 0)
        return QStringLiteral("-");
    const int decimals = value >= 100 || value == double(qint64(value)) ? 0 : value >= 10 ? 1 : 2;
    return QString::number(value, 'f', decimals) + (*unit ? QStringLiteral(" ") + QLatin1String(unit) : QString());
}

QString ratioText(double ratio)
{
    return QString::number(ratio, 'f', 2) + QLatin1Char('x');
}

} // namespace

// results[supervisor][repetition]. The best peer of a repetition is the
// lowest of the peers; a floored figure is compared with its floor instead,
// the watchdog's own or the bare toolkit program's of the same repetition.
bool printTable(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results, int candidate)
{
    bool met = true;
    std::printf("\n%s against the best peer, or its floor, of each repetition (%d repetitions):\n\n"
                "| Figure | Watchdog (median) | Best peer or floor (median) | Ratio min / median / max | Goal | Met |\n|---|---|---|---|---|---|\n",
                qPrintable(supervisors[candidate].label), int(results[candidate].size()));
    for (int f = 0; f < FigureCount; ++f) {
        std::vector<double> ours, best, ratios;
        QMap<QString, int> bestNames;
        for (int r = 0; r < results[candidate].size(); ++r) {
            double bestValue = results[candidate][r].floor[f];
            QString bestName = QStringLiteral("floor");
            const Kind compared = figures[f].against == Toolkit ? BareToolkit : Peer;
            for (int s = 0; s < supervisors.size() && figures[f].against != OwnFloor; ++s) {
                const double value = r < results[s].size() ? results[s][r].value[f] : -1;
                if (supervisors[s].kind == compared && value >= 0 && (bestValue < 0 || value < bestValue))
                    bestValue = value, bestName = supervisors[s].label;
            }
            ours.push_back(results[candidate][r].value[f]);
            best.push_back(bestValue);
            ++bestNames[bestName];
            if (bestValue > 0)
                ratios.push_back(ours.back() / bestValue);
        }
        const auto mostOften = std::max_element(bestNames.cbegin(), bestNames.cend());
        const FigureInfo &info = figures[f];
        const double ratio = percentile(ratios, 50);
        const bool within = info.goal == 0 ? *std::max_element(ours.begin(), ours.end()) == 0 : !ratios.empty() && ratio <= info.goal;
        met = met && (info.goal < 0 || within);
        const QString ratioCell = ratios.empty() ? QStringLiteral("-")
                                                 : ratioText(percentile(ratios, 0)) + QStringLiteral(" / ") + ratioText(ratio) + QStringLiteral(" / ") + ratioText(percentile(ratios, 100));
        const QString goal = info.goal < 0 ? QStringLiteral("-") : info.goal == 0 ? QStringLiteral("zero") : QStringLiteral("≤ ") + ratioText(info.goal);
        std::printf("| %s | %s | %s (%s) | %s | %s | %s |\n", info.what, qPrintable(figureText(percentile(ours, 50), info.unit)),
                    qPrintable(figureText(percentile(best, 50), info.unit)), qPrintable(mostOften.key()), qPrintable(ratioCell),
                    qPrintable(goal), info.goal < 0 ? "-" : within ? "yes" : "**no**");
    }
    return met;
}

// Median and maximum of every supervisor's start-ups, and the watchdog's
// ratios to the bare toolkit program (the goal) and to the best peer.
bool printStartUps(const QList<Supervisor> &supervisors, const QList<std::vector<double>> &startUps, int toolkit)
{
    constexpr double goal = 1.1;
    bool met = true;
    for (int c = 0; c < supervisors.size(); ++c) {
        if (supervisors[c].kind != Watchdog)
            continue;
        std::printf("\nStart-up to the first worker exec, fixed delay aside (%d starts each, interleaved):\n\n"
                    "| Supervisor | Median | Max | Median: ratio of %s | Max: ratio of %s |\n|---|---|---|---|---|\n",
                    int(startUps[c].size()), qPrintable(supervisors[c].label), qPrintable(supervisors[c].label));
        for (int s = 0; s < supervisors.size(); ++s) {
            const double median = percentile(startUps[s], 50), max = percentile(startUps[s], 100);
            const bool self = s == c;
            std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(supervisors[s].label), qPrintable(figureText(median, "ms")),
                        qPrintable(figureText(max, "ms")),
                        self ? "-" : qPrintable(ratioText(percentile(startUps[c], 50) / median)),
                        self ? "-" : qPrintable(ratioText(percentile(startUps[c], 100) / max)));
        }
        const double ratio = toolkit < 0 ? -1 : percentile(startUps[c], 50) / percentile(startUps[toolkit], 50);
        met = met && ratio >= 0 && ratio <= goal;
        std::printf("\n%s: median start-up %s of the bare toolkit program's; goal ≤ %s: %s\n", qPrintable(supervisors[c].label),
                    qPrintable(ratioText(ratio)), qPrintable(ratioText(goal)), ratio >= 0 && ratio <= goal ? "met" : "**missed**");
    }
    return met;
}

// The respawn gaps of all repetitions together: with a few samples per
// repetition, only the pooled ones say anything about the tail.
void printPooledGaps(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results)
{
    std::printf("\nRespawn gap beyond the fixed delay, all repetitions pooled:\n\n| Supervisor | Samples | p50 | p90 | max |\n|---|---|---|---|---|\n");
    for (int s = 0; s < supervisors.size(); ++s) {
        std::vector<double> gaps;
        for (const Run &run : results[s])
            gaps.insert(gaps.end(), run.gaps.begin(), run.gaps.end());
        std::printf("| %s | %d | %s | %s | %s |\n", qPrintable(supervisors[s].label), int(gaps.size()),
                    qPrintable(figureText(percentile(gaps, 50), "ms")), qPrintable(figureText(percentile(gaps, 90), "ms")),
                    qPrintable(figureText(percentile(gaps, 100), "ms")));
    }
}

void printEverySupervisor(const QList<Supervisor> &supervisors, const QList<QList<Run>> &results)
{
    std::printf("\nEvery supervisor, median over the repetitions:\n\n| Figure |");
    for (const Supervisor &supervisor : supervisors)
        std::printf(" %s |", qPrintable(supervisor.label));
    std::printf("\n|---|%s\n", qPrintable(QStringLiteral("---|").repeated(supervisors.size())));
    for (int f = 0; f < FigureCount; ++f) {
        std::printf("| %s |", figures[f].what);
        for (const QList<Run> &runs : results) {
            std::vector<double> values;
            for (const Run &run : runs)
                values.push_back(run.value[f]);
            std::printf(" %s |", qPrintable(figureText(percentile(values, 50), figures[f].unit)));
        }
        std::printf("\n");
    }
}

} // namespace bench

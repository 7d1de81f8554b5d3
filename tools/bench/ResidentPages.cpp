#include "ResidentPages.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// A value in kB from /proc/PID/smaps_rollup, -1 when missing.
qint64 rollupKb(const QByteArray& rollup, const QByteArray& key)
{
    for (const QByteArray& entry : rollup.split('\n')) {
        if (entry.startsWith(key + ':'))
            return entry.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The mapped file of a maps line, which may hold blanks; anonymous memory, heap and stack are one.
QString fileOf(const QByteArray& mapsLine)
{
    int field = 0;
    int at = 0;
    while (field < 5 && at < mapsLine.size()) {
        at = mapsLine.indexOf(' ', at);
        if (at < 0)
            return QStringLiteral("[anonymous]");
        while (at < mapsLine.size() && mapsLine.at(at) == ' ')
            ++at;
        ++field;
    }
    const QString path = QString::fromUtf8(mapsLine.mid(at));
    if (path.isEmpty() || path.startsWith('['))
        return QStringLiteral("[anonymous]");
    return QFileInfo(path).fileName();
}

} // namespace

ResidentPages ResidentPages::of(qint64 pid)
{
    ResidentPages result;
    QFile maps(QString("/proc/%1/maps").arg(pid));
    QFile rollup(QString("/proc/%1/smaps_rollup").arg(pid));
    const int pagemap = ::open(QString("/proc/%1/pagemap").arg(pid).toLocal8Bit().constData(), O_RDONLY);
    if (pagemap < 0 || !maps.open(QIODevice::ReadOnly) || !rollup.open(QIODevice::ReadOnly)) {
        if (pagemap >= 0)
            ::close(pagemap);
        return result;
    }
    const quint64 pageSize = quint64(sysconf(_SC_PAGESIZE));
    const qint64 pageKb = qint64(pageSize / 1024);
    constexpr quint64 present = 1ULL << 63;
    constexpr quint64 pfnMask = (1ULL << 55) - 1;

    QSet<quint64> all;
    QMap<QString, QSet<quint64>> byFile;
    bool pfnsVisible = false;
    // In slices: a reservation may be far larger than what it holds.
    std::vector<quint64> entries(4096);
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const int dash = line.indexOf('-');
        const int blank = line.indexOf(' ');
        if (dash < 0 || blank < dash)
            continue;
        const quint64 start = line.left(dash).toULongLong(nullptr, 16);
        const quint64 end = line.mid(dash + 1, blank - dash - 1).toULongLong(nullptr, 16);
        // The vsyscall page is outside what pagemap can be asked about.
        if (end <= start || line.endsWith("[vsyscall]"))
            continue;
        QSet<quint64>& pages = byFile[fileOf(line)];
        for (quint64 page = start / pageSize; page < end / pageSize; page += entries.size()) {
            const size_t count = size_t(qMin<quint64>(entries.size(), end / pageSize - page));
            const ssize_t bytes
                = ::pread(pagemap, entries.data(), count * sizeof(quint64), off_t(page * sizeof(quint64)));
            if (bytes <= 0)
                break;
            for (size_t i = 0; i < size_t(bytes) / sizeof(quint64); ++i) {
                if (!(entries[i] & present))
                    continue;
                const quint64 pfn = entries[i] & pfnMask;
                pfnsVisible = pfnsVisible || pfn != 0;
                all.insert(pfn);
                pages.insert(pfn);
            }
        }
    }
    ::close(pagemap);
    // Without the privilege every page number reads as 0 and nothing could be told apart.
    if (!pfnsVisible)
        return result;

    const QByteArray rollupText = rollup.readAll();
    result.m_rssKb = rollupKb(rollupText, "Rss");
    result.m_pssKb = rollupKb(rollupText, "Pss");
    result.m_privateDirtyKb = rollupKb(rollupText, "Private_Dirty");
    result.m_distinctKb = all.size() * pageKb;
    for (auto it = byFile.cbegin(); it != byFile.cend(); ++it) {
        if (!it.value().isEmpty())
            result.m_byFileKb.insert(it.key(), it.value().size() * pageKb);
    }
    result.m_valid = true;
    return result;
}

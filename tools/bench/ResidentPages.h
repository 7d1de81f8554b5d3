#pragma once

#include <QMap>
#include <QString>

// What a process holds in memory, read from /proc (the physical page numbers need root). Distinct
// pages count each physical page once, however often the process maps it; a library's pages are
// those of all its mappings.
class ResidentPages
{
public:
    static ResidentPages of(qint64 pid);

    bool isValid() const { return m_valid; }
    qint64 distinctKb() const { return m_distinctKb; }
    qint64 rssKb() const { return m_rssKb; }
    qint64 pssKb() const { return m_pssKb; }
    qint64 privateDirtyKb() const { return m_privateDirtyKb; }
    // Resident kB by file name, "[anonymous]" for memory backed by no file.
    const QMap<QString, qint64>& byFileKb() const { return m_byFileKb; }

private:
    bool m_valid = false;
    qint64 m_distinctKb = 0;
    qint64 m_rssKb = 0;
    qint64 m_pssKb = 0;
    qint64 m_privateDirtyKb = 0;
    QMap<QString, qint64> m_byFileKb;
};

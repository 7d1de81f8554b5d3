#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Whole-file reads and writes for fixtures; an unreadable file reads as empty.
QByteArray readFile(const QString& path);
// Replaces the file's content; the permissions are set only when given.
bool writeFile(const QString& path, const QByteArray& data, QFile::Permissions permissions = {});

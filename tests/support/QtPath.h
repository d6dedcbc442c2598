// A QString path for the Qt-free test helpers. std::filesystem::path built from a narrow string
// reads it in the Windows ANSI code page, so a profile folder like "C:\users\Иван" would become
// another, non-existent one; the core's UTF-8 rule reaches the file QFile means.
#pragma once

#include <filesystem>

#include <QString>

#include "core/FileIo.h"

inline std::filesystem::path fsPath(const QString& path)
{
    return qdt::pathFromUtf8(path.toStdString());
}

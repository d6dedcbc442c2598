// A log of the program's runs for bug reports: what was downloaded from where, the hashes, the
// patch engine's results, the messages shown, with times. It lives in the work directory as
// "patcher.log" (this run) and "patcher.1.log" ... "patcher.4.log" (the runs before); each file
// stops growing at 256 KiB. Nothing secret goes in: no file contents, no credentials. Nothing is
// written through a link or into another name of someone else's file.
#pragma once

#include <QString>

namespace runlog {

// Starts this run's log in `folder`, moving the older ones along and dropping the oldest; what
// holds a log's name without being a log (a link, a folder, ...) is moved out of the way or
// skipped. Until it is called, and when no log can be made, write() does nothing (tests that
// don't ask for a log get none).
void start(const QString& folder);

// Appends one line, with the time since the start.
void write(const QString& line);

// The file this run writes, or empty before start() and when there is none.
QString currentFile();

} // namespace runlog

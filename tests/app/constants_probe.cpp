// Prints homeDir and workDir as built before main(), and whether the work directory exists
// after a window-less start. With "--hold-lock DIR" it takes the program's one-copy lock in DIR
// instead, says "locked" (or "busy") and waits to be killed (at most 60 s).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <QCoreApplication>
#include <QString>

#include "app/Constants.h"
#include "app/InstanceLock.h"

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--hold-lock") == 0) {
        // The folder may have letters outside the ANSI code page: Qt reads the wide command line.
        QCoreApplication app(argc, argv);
        const InstanceLock lock(QCoreApplication::arguments().at(2));
        std::printf("%s\n", lock.acquired() ? "locked" : "busy");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(60));
        return 0;
    }
    std::printf("%s\n%s\n", homeDir.toUtf8().constData(), workDir.toUtf8().constData());
    return 0;
}

// Prints homeDir and workDir as built before main(), and whether the work directory exists
// after a window-less start.
#include <cstdio>

#include "app/Constants.h"

int main()
{
    std::printf("%s\n%s\n", homeDir.toUtf8().constData(), workDir.toUtf8().constData());
    return 0;
}

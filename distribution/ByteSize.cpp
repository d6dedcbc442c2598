#include "distribution/ByteSize.h"

#include <cmath>

#include <QCoreApplication>

QString megabytes(qint64 bytes)
{
    const double mb = static_cast<double>(bytes) / (1 << 20);
    int decimals = 0;
    if (mb > 0 && mb < 10)
        decimals = qBound(1, 1 - static_cast<int>(std::floor(std::log10(mb))), 6);
    QString number = QString::number(mb, 'f', decimals);
    if (number.contains(QLatin1Char('.'))) {
        while (number.endsWith(QLatin1Char('0')))
            number.chop(1);
        if (number.endsWith(QLatin1Char('.')))
            number.chop(1);
    }
    return QCoreApplication::translate("ByteSize", "%1 MB").arg(number);
}

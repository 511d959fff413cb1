#include "platform/ProcessInspection.h"

#include <QByteArray>
#include <QFile>

namespace korvex::platform {

int tracerPid() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    // The line reads "TracerPid:\t<pid>".
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("TracerPid:"))
            return line.mid(10).trimmed().toInt();
    }
    return 0;
}

} // namespace korvex::platform

#pragma once
#include <QString>

namespace pnv {

// The application's title: the program file's name without its folder and
// without everything from its first dot, every letter after the first in
// lower case. It titles the error box and names the task bar entry.
QString applicationTitleFor(const QString &programPath);

} // namespace pnv

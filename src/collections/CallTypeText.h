#pragma once

#include <QString>

// "Incoming Calls", "Outgoing Calls", "Incoming FaceTime", "Outgoing FaceTime" (translated):
// bit 0 of the call flags is outgoing, bit 4 FaceTime.
QString callTypeText(int flags);

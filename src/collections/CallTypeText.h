#pragma once

#include <QString>

// "Incoming Calls", "Outgoing Calls", "Incoming FaceTime", "Outgoing FaceTime" (translated):
// bit 0 of the call flags is outgoing, bit 4 FaceTime. Stores that tell FaceTime audio (bit 5)
// from video (bit 6) get "Incoming FaceTime Audio", "Outgoing FaceTime Video", ...
QString callTypeText(int flags);

#pragma once

#include <QString>

// "Incoming Calls", "Outgoing Calls", "Incoming FaceTime", "Outgoing FaceTime" (translated):
// bit 0 of the call flags is outgoing, bit 4 FaceTime. Stores that tell FaceTime audio (bit 5)
// from video (bit 6) get "Incoming FaceTime Audio", "Outgoing FaceTime Video", ...; calls made
// through another app (CallOtherApp) are named for it: "Outgoing WhatsApp", or "Incoming App
// Call" when the app is not known.
QString callTypeText(int flags);

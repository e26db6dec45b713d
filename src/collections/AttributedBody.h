#pragma once

#include <QByteArray>
#include <QString>

// The text of a message body archived as an attributed string (message.attributedBody, used
// when message.text is empty). Empty, with `ok` false, when the bytes are not such an archive or
// the text does not lie within them; never reads outside `blob`.
QString textFromAttributedBody(const QByteArray& blob, bool* ok = nullptr);

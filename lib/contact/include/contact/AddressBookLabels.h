#pragma once

#include <QString>

// The address book stores its built-in labels wrapped: "_$!<Mobile>!$_". Shown, they read
// "mobile", "_$!<HomeFAX>!$_" reads "home fax"; custom labels stay as they are. Live and
// deleted contacts go through this one function so that their labels compare equal.
QString addressBookLabelText(const QString& stored);

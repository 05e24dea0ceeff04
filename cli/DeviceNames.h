#pragma once

// Names that Windows gives to its devices rather than to files: CON, PRN,
// AUX, NUL, COM0 to COM9 and LPT0 to LPT9 (also with a superscript 1, 2 or
// 3), in any case, alone or before a dot, in any folder; and every path in
// the device namespace (\\.\ or \\?\). A file opened by such a name is the
// device: "COM7.trace" is the port COM7.

#include <QString>

// True when the file name (the last part of a path) names a device.
bool IsDeviceFileName(const QString& name);

// True when opening path on Windows would open a device, not a file.
bool NamesWindowsDevice(const QString& path);

// Why an output file given for option (such as "--log") cannot be used on
// Windows, where it would be a device; empty when it can be (or is empty).
QString DeviceFileProblem(const QString& option, const QString& path);

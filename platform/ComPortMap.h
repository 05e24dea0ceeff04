#pragma once

#include <QString>

// The name under which the serial port COMn is opened. On Windows it is
// "COMn". Elsewhere it is <store root>/dosdevices/comn when that exists
// (usually a symbolic link to a device, and also when the link dangles), or
// the same below the former store root (links made for earlier versions),
// otherwise COM1 to COM32 are /dev/ttyS0 to /dev/ttyS31, COM33 to COM64
// /dev/ttyUSB0 to /dev/ttyUSB31 and COM65 to COM96 /dev/ttyACM0 to
// /dev/ttyACM31. Empty when no port can stand behind the number.
QString ComPortDeviceName(int portNumber);

#ifndef _WIN32
// The same for a given store root, a given folder of devices ("/dev" on this
// machine) and a former store root (none when empty).
QString ComPortDeviceName(int portNumber, const QString& storeRoot, const QString& deviceFolder,
                          const QString& formerRoot = {});
#endif

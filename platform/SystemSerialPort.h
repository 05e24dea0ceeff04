#pragma once

// The serial port of this system's build: the Win32 communications API on
// Windows, Qt Serial Port elsewhere. Both implement SerialPort and take a
// device path in place of the port number (SetDevicePath).

#ifdef _WIN32
#include "Win32SerialPort.h"
using SystemSerialPort = Win32SerialPort;
#else
#include "QtSerialPort.h"
using SystemSerialPort = QtSerialPort;
#endif

#pragma once

// The serial port of this system's build: the Win32 communications API on
// Windows, Qt Serial Port elsewhere. Both implement SerialPort, take a
// device path in place of the port number (SetDevicePath) and a session's
// wish for low latency (SetLowLatencyWanted).

#ifdef _WIN32
#include "Win32SerialPort.h"
using SystemSerialPort = Win32SerialPort;
#else
#include "QtSerialPort.h"
using SystemSerialPort = QtSerialPort;
#endif

#pragma once

#include "SerialPort.h"

// The serial port of the program, over QSerialPort. The port number is
// resolved to a device through ComPortDeviceName.
class QtSerialPort;  // defined with the serial port work

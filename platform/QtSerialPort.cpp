#include "QtSerialPort.h"

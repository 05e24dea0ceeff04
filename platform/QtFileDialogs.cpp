#include "QtFileDialogs.h"

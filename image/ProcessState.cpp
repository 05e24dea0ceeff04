#include "ProcessState.h"

ProcessState& Globals() {
    static ProcessState state;
    return state;
}

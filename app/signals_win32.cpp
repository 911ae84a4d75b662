#include "app/signals.h"

void handle_signals() {}

bool ended_by_signal() {
    return false;
}

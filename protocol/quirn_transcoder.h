#pragma once
// Request frames for the board, and the operations that build them out of
// command lines and send them.

#include <cstdint>
#include <string>
#include <vector>

#include "serial/command_reply.h"

#pragma once

#include <cstdint>
#include <vector>

// The result of one exchange with the board: the bytes one serial read
// delivered, and their count (always bytes.size()). Empty when nothing was
// sent, nothing arrived or the read failed; callers treat these alike.
struct CommandReply {
    std::vector<uint8_t> bytes;
    uint32_t count = 0;
};

// What answers the host's bytes inside a fake USB device: a script of
// replies, or the talo-sim engine.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace fake {

// Gets the bytes the host sent in one report or transfer, appends the
// controller's reply bytes; returns true when the controller drops the link.
using Responder = std::function<bool(std::span<const uint8_t> sent, std::vector<uint8_t>& reply)>;

}  // namespace fake

#pragma once

#include <cstddef>
#include <span>

#include "analysis/transfer.h"

// Whether something other than the room shaped a take: a block of frames lost
// or repeated on the way, a door slamming during the sweep. The take is
// modelled as the played signal through the measured impulse response,
// windowed to the room's decay; what the capture holds beyond that model (the
// residual, inside the swept range) is compared block by block during the
// sweep with the same residual over the lead-in, which holds only the
// input's noise. A floor relative to the sweep's own level keeps a take
// without noise from looking disturbed by the model's last small errors, and
// one relative to each block's own level keeps a distorting loudspeaker from
// it.
struct DisturbanceCheck {
    bool known = false;      // the take and its transfer function allowed the check
    bool disturbed = false;  // some block of the sweep exceeds the limit
    double seconds = 0.0;    // disturbed: the middle of the block where the worst
                             // event sets in, seconds from the start of the capture
    double excessDb = 0.0;   // the worst block over its reference (dB)
    double noiseDb = 0.0;    // the lead-in's residual, dB re full scale (-inf: none)
    double floorDb = 0.0;    // the floor from the sweep's level, dB re full scale
};

// Blocks of this length are compared.
constexpr double kDisturbanceBlockSeconds = 0.02;
// A block is disturbed when its residual exceeds its reference, the largest
// of the lead-in's residual and the two floors below, by more than this.
constexpr double kDisturbanceLimitDb = 8.0;
// The floor: this far below the capture's level during the sweep, so that a
// take without noise is held to the model's own accuracy.
constexpr double kDisturbanceFloorDb = 35.0;
// And, where that is higher, the share of the block's own capture that the
// model leaves in the blocks on either side of it, up to this far below the
// capture: a loudspeaker's harmonics, which no linear response models,
// follow the level of the sweep they come from and change smoothly along it,
// so one that distorts by up to about 25 % (-12 dB) is held to its own
// residual; a block lost, left silent or repeated stands out from the blocks
// on both sides. (A noise that lasts longer than the neighbours reach is
// found only when it comes within 12 dB of the capture: this far under it,
// less the limit.)
constexpr double kDisturbanceShareDb = 20.0;
// The neighbours: the blocks from kDisturbanceGap to kDisturbanceNeighbours
// hops (of half a block) away on each side. The nearer ones share part of an
// event's residual (a splice rings for a few milliseconds in the band).
constexpr std::ptrdiff_t kDisturbanceGap = 5;
constexpr std::ptrdiff_t kDisturbanceNeighbours = 15;

// response is ImpulseResponseOf(ComputeTransfer(take)), before any
// calibration (it then describes the loop the capture came through): the
// circular impulse response, index 0 at time zero, as long as the transform.
// Anything else gives a check that is not known.
DisturbanceCheck CheckDisturbance(const Take& take, std::span<const double> response);

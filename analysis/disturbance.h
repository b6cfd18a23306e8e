#pragma once

#include <span>

#include "analysis/transfer.h"

// Whether something other than the room shaped a take: a block of frames lost
// or repeated on the way, a door slamming during the sweep. The take is
// modelled as the played signal through the measured impulse response,
// windowed to the room's decay; what the capture holds beyond that model (the
// residual, inside the swept range) is compared block by block during the
// sweep with the same residual over the lead-in, which holds only the
// input's noise. A floor relative to the sweep's own level keeps a take
// without noise from looking disturbed by the model's last small errors.
struct DisturbanceCheck {
    bool known = false;      // the take and its transfer function allowed the check
    bool disturbed = false;  // some block of the sweep exceeds the limit
    double seconds = 0.0;    // disturbed: the middle of the block where the worst
                             // event sets in, seconds from the start of the capture
    double excessDb = 0.0;   // the worst block over the reference (dB)
    double noiseDb = 0.0;    // the lead-in's residual, dB re full scale (-inf: none)
    double floorDb = 0.0;    // the floor from the sweep's level, dB re full scale
};

// Blocks of this length are compared.
constexpr double kDisturbanceBlockSeconds = 0.02;
// A block is disturbed when its residual exceeds the reference, the larger of
// the lead-in's residual and the floor, by more than this.
constexpr double kDisturbanceLimitDb = 8.0;
// The floor: this far below the capture's level during the sweep. The
// harmonics of a loudspeaker that distorts by about 1 % (which no linear
// response models) stay below it; a lost or repeated block reaches far above.
constexpr double kDisturbanceFloorDb = 35.0;

// response is ImpulseResponseOf(ComputeTransfer(take)), before any
// calibration (it then describes the loop the capture came through): the
// circular impulse response, index 0 at time zero, as long as the transform.
// Anything else gives a check that is not known.
DisturbanceCheck CheckDisturbance(const Take& take, std::span<const double> response);

#pragma once

// The raised-cosine taper 0.5 - 0.5 cos(pi x) of the fades and windows:
// 0 at x = 0, 1/2 at x = 1/2, 1 at x = 1, with the same rise at one end as
// fall at the other (the taper at 1 - x is 1 minus the taper at x).

#include <cmath>
#include <numbers>

// At the share x of the way up.
inline double RaisedCosine(double share) {
    return 0.5 - 0.5 * std::cos(std::numbers::pi * share);
}

// At position of a rise over length, x = position / length, computed as
// pi position / length.
inline double RaisedCosine(double position, double length) {
    return 0.5 - 0.5 * std::cos(std::numbers::pi * position / length);
}

#pragma once

#include <cstdint>
#include <ctime>

#include "analysis/band_plan.h"
#include "analysis/transfer.h"
#include "console/settings.h"
#include "signal/log_sweep.h"

// Everything that follows from an aligned take: the transfer function, the
// table from it, the checks of input 1, the acoustic delay, the room's
// acoustics, the harmonic distortion of an exponential sweep (logSweep, null
// for the linear one), the run's files and the results file, each printed
// or written here.
void ReportTake(const TestSettings& settings, const BandPlan& plan, const Take& take,
                double returnLevel, std::int64_t sweepFrames, std::time_t runTime,
                const LogSweep* logSweep, double endFrequency);

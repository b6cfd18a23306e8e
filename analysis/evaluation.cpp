#include "analysis/evaluation.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>
#include <system_error>
#include <utility>

namespace {

// The disturbance check on a thread of its own; where no thread can be
// had, here and now.
std::future<DisturbanceCheck> CheckBeside(const Take& take, std::span<const double> response) {
    try {
        return std::async(std::launch::async,
                          [&take, response] { return CheckDisturbance(take, response); });
    } catch (const std::system_error&) {
        std::promise<DisturbanceCheck> done;
        done.set_value(CheckDisturbance(take, response));
        return done.get_future();
    }
}

}  // namespace

RunResult EvaluateTake(const Take& take, const TakePlan& plan) {
    RunResult result;
    TransferFunction h = ComputeTransfer(take);
    result.transfer = h.status;
    result.rate = take.rate;
    // The take against the loop it was measured through, before the
    // microphone's calibration changes H; without one, the impulse response
    // serves what follows too. The check reads only the take and that
    // response, so it runs beside the rest of the evaluation.
    const Waveform loop = ImpulseResponseOf(h);
    std::future<DisturbanceCheck> disturbance = CheckBeside(take, loop);
    Waveform calibrated;
    if (h.status == TransferStatus::Ok && plan.calibration != nullptr) {
        // A second response at the same time as the check's transforms
        // would raise the run's peak of memory: the check ends first.
        result.disturbance = disturbance.get();
        ApplyCalibration(h, *plan.calibration);
        calibrated = ImpulseResponseOf(h);
    }
    const std::span<const double> response = plan.calibration != nullptr ? calibrated : loop;
    // The sweep may reach beyond the bands (the exponential one does); what
    // is reported keeps to the range asked for.
    h.startFrequency = plan.lowFrequency;
    h.endFrequency = plan.highFrequency;
    result.lowFrequency = plan.lowFrequency;
    result.highFrequency = plan.highFrequency;

    result.bands = BandLevels(h, plan.lowerEdges, plan.upperEdges);
    result.signal = CheckSignal(take.captured, take.capturedSweepStart, plan.sweepFrames);
    if (h.status != TransferStatus::Ok) {
        if (disturbance.valid()) result.disturbance = disturbance.get();
        return result;
    }

    result.delay = FindDelay(response, take.rate);
    result.impulse = CutImpulseResponse(response, take.rate, result.delay.samples,
                                        kImpulseLeadSeconds, kImpulseTailSeconds);
    // The acoustics from just before time zero: the direct sound is found
    // in that stretch, and the ringing ahead of it stays out of the search.
    const ImpulseResponse acousticsResponse = CutImpulseResponse(
        response, take.rate, result.delay.samples, kAcousticsLeadSeconds, kImpulseTailSeconds);
    calibrated = Waveform();

    if (plan.exponential) {
        const HarmonicSpectra spectra =
            ExtractHarmonics(h, result.delay.samples, *plan.exponential);
        DistortionFigures figures;
        figures.curve = DistortionCurve(spectra, h.startFrequency, h.endFrequency, 12);
        for (const double frequency : kDistortionSummaryFrequencies) {
            if (frequency >= h.startFrequency && frequency <= h.endFrequency) {
                figures.summary.push_back(DistortionAt(spectra, frequency, 12));
            }
        }
        result.distortion = std::move(figures);
    }
    result.acoustics = ComputeAcoustics(acousticsResponse.samples, take.rate, std::nullopt,
                                        h.startFrequency, h.endFrequency);
    result.response = PointResponse(h, 96);
    result.smoothed = SmoothedResponse(h, 12);
    result.noiseFloor = SmoothedNoise(h, 12);
    result.timeViews =
        ComputeTimeViews(result.impulse.samples,
                         static_cast<double>(result.impulse.zeroIndex) + result.delay.samples,
                         take.rate, result.response, h.startFrequency, h.endFrequency);
    if (disturbance.valid()) result.disturbance = disturbance.get();
    return result;
}

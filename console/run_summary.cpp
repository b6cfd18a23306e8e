#include "console/run_summary.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "console/acoustics_report.h"

namespace {

using json = nlohmann::ordered_json;

// value under key, or null under key and the reason under key + "Reason".
void Put(json& object, const std::string& key, double value, const std::string& reason = {}) {
    if (std::isfinite(value)) {
        object[key] = value + 0.0;
        return;
    }
    object[key] = nullptr;
    std::string why = reason;
    if (why.empty()) why = "not a finite number";
    why += std::isnan(value) ? " (nan)" : value > 0 ? " (inf)" : " (-inf)";
    object[key + "Reason"] = why;
}

// The run as every summary begins.
json RunObject(const RunDescription& run) {
    json summary;
    summary["program"] = run.program;
    summary["date"] = run.date;
    summary["device"] = run.device;
    json settings;
    Put(settings, "q", run.q);
    settings["bands"] = run.bands;
    settings["bandsMeasured"] = run.bandsMeasured;
    settings["bandsCapped"] = run.bands > run.bandsMeasured;
    Put(settings, "startHz", run.startFrequency);
    Put(settings, "lengthSeconds", run.sweepLength);
    Put(settings, "levelDbfs", run.levelDb);
    summary["settings"] = settings;
    json sweep;
    sweep["kind"] = run.sweep == SweepKind::Exponential ? "exponential" : "linear";
    Put(sweep, "lowHz", run.sweepLow);
    Put(sweep, "highHz", run.sweepHigh);
    summary["sweep"] = sweep;
    summary["calibration"] = run.calibration.empty() ? json(nullptr) : json(run.calibration);
    summary["appliedCorrection"] = run.correction.empty() ? json(nullptr) : json(run.correction);
    return summary;
}

}  // namespace

bool CleanTake(const RunResult& result, std::int64_t dropouts) {
    return result.transfer == TransferStatus::Ok && dropouts == 0 &&
           result.signal.clippedSamples == 0 && !result.signal.silent && !result.signal.tooLow &&
           !(result.disturbance.known && result.disturbance.disturbed);
}

std::string SummaryText(const RunDescription& run, const RunResult& result,
                        std::span<const double> lowerEdges, std::span<const double> upperEdges,
                        const TakeChecks& checks, const std::vector<std::string>& files,
                        int indent) {
    json summary = RunObject(run);
    summary["clean"] = CleanTake(result, checks.dropouts);
    summary["analyzed"] = result.transfer == TransferStatus::Ok;
    json bands = json::array();
    for (std::size_t b = 0;
         b < result.bands.size() && b < lowerEdges.size() && b < upperEdges.size(); ++b) {
        json band;
        band["band"] = b + 1;
        Put(band, "lowHz", lowerEdges[b]);
        Put(band, "highHz", upperEdges[b]);
        if (result.bands[b].missing) {
            band["levelDb"] = nullptr;
            band["levelDbReason"] = "the band is missing data";
        } else {
            Put(band, "levelDb", result.bands[b].level, "no level");
        }
        bands.push_back(band);
    }
    summary["bands"] = bands;

    const SignalChecks& s = result.signal;
    json signal;
    signal["clippedSamples"] = s.clippedSamples;
    signal["silent"] = s.silent;
    signal["tooLow"] = s.tooLow;
    Put(signal, "signalLevelDbfs", s.signalLevelDb, "no signal");
    Put(signal, "noiseLevelDbfs", s.noiseLevelDb, "no noise");
    Put(signal, "returnLevelDb", s.returnLevelDb, "no signal");
    if (s.snrKnown) {
        Put(signal, "snrDb", s.snrDb, "no noise in the lead-in");
    } else {
        signal["snrDb"] = nullptr;
        signal["snrDbReason"] = "no lead-in before the sweep";
    }
    signal["lowSnr"] = s.lowSnr;
    Put(signal, "syncReturnLevelDb", checks.syncReturnLevelDb, "no pulse");
    signal["dropouts"] = checks.dropouts;
    summary["signal"] = signal;

    const DisturbanceCheck& d = result.disturbance;
    json disturbance;
    disturbance["checked"] = d.known;
    disturbance["disturbed"] = d.known && d.disturbed;
    if (d.known && d.disturbed) {
        Put(disturbance, "seconds", d.seconds);
        Put(disturbance, "excessDb", d.excessDb);
    } else {
        disturbance["seconds"] = nullptr;
        disturbance["secondsReason"] = d.known ? "not disturbed" : "the take allowed no check";
    }
    summary["disturbance"] = disturbance;

    const bool analyzed = result.transfer == TransferStatus::Ok;
    json delay;
    if (analyzed) {
        Put(delay, "milliseconds", result.delay.milliseconds);
        Put(delay, "metres", result.delay.metres);
    } else {
        delay["milliseconds"] = nullptr;
        delay["millisecondsReason"] = "the room's response could not be computed";
    }
    summary["delay"] = delay;

    json acoustics = json::array();
    if (analyzed) {
        for (const OctaveAcoustics& band : result.acoustics.bands) {
            json octave;
            octave["octaveHz"] = band.nominalHz;
            for (const AcousticsEntry& entry : AcousticsEntries(band)) {
                if (entry.value) {
                    Put(octave, entry.name, *entry.value);
                } else {
                    octave[entry.name] = nullptr;
                    octave[std::string(entry.name) + "Reason"] = entry.reason;
                }
            }
            acoustics.push_back(octave);
        }
    }
    summary["acoustics"] = acoustics;

    if (result.distortion) {
        json distortion = json::array();
        for (const DistortionPoint& point : result.distortion->summary) {
            json at;
            Put(at, "frequencyHz", point.frequency);
            at["belowNoise"] = point.thdBelowNoise;
            Put(at, "thdPercent", point.thdPercent, "not measured");
            Put(at, "noiseLimitPercent", point.noiseLimitPercent, "no noise limit");
            distortion.push_back(at);
        }
        summary["distortion"] = distortion;
    } else {
        summary["distortion"] = nullptr;
        summary["distortionReason"] = "measured with the exponential sweep only";
    }
    summary["files"] = files;
    return summary.dump(indent, ' ', false, json::error_handler_t::replace);
}

std::string VoidTakeSummaryText(const RunDescription& run, const std::string& why) {
    json summary = RunObject(run);
    summary["clean"] = false;
    summary["analyzed"] = false;
    summary["analyzedReason"] = why;
    summary["files"] = json::array();
    return summary.dump(-1, ' ', false, json::error_handler_t::replace);
}

#pragma once

// The texts of a correction for the engines that run it: an equalizer's
// parametric text, CamillaDSP, PipeWire's filter-chain and plain biquad
// coefficients. title: one line saying what the correction is for.

#include <string>

#include "analysis/correction.h"

// "Preamp: -X.X dB" (rounded down to 0.1 dB, as in every file here), then
// "Filter N: ON PK Fc F Hz Gain G dB Q Q" lines, with
// enough decimals that the response read back is within 0.01 dB.
std::string EqText(const Correction& correction, const std::string& title);

// CamillaDSP 3.0's configuration: the preamp as a Gain filter, each filter a
// Biquad of type Peaking, and a pipeline that applies them to channels 0
// and 1; the devices section as a commented template.
std::string CamillaDspYaml(const Correction& correction, const std::string& title);

// A PipeWire filter-chain module (PipeWire 0.3.65 and later): the preamp as
// a builtin convolver with a unit impulse and a gain, then builtin
// bq_peaking nodes in series, for two channels, behind an Audio/Sink named
// sinkName.
std::string PipeWireConf(const Correction& correction, const std::string& sinkName,
                         const std::string& title);

// Each filter's coefficients at 48000 Hz, b0 b1 b2 a1 a2 (a0 = 1), in full
// precision, with the preamp as a linear gain.
std::string BiquadText(const Correction& correction, const std::string& title);

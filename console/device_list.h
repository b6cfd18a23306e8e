#pragma once

// The devices a measurement can use (-L), and the hint after a device that
// could not be set up.

#include <string>
#include <vector>

#include "audio/device_probe.h"
#include "audio/play_rec.h"

// The listing of `devices`: a line of what the marks mean, then per device
// its mark and name (with the converting name to use, or what was refused)
// and its description's lines, indented. Names and descriptions are shown
// with control characters as '?'.
std::string DeviceListText(const std::vector<ListedDevice>& devices);

// Probes alsa-lib's devices and prints their list; returns the exit status
// (0, or 1 when alsa-lib gives no list).
int ListDevicesCommand();

// The line after a device's fatal setup line: names the device as typed
// and points to -L, or for a format refused by a hw: device, to its plughw:
// name. Empty for a failure that is not the device's (a channel count).
std::string DeviceHintLine(const std::string& deviceName, const DeviceFailure& failure);

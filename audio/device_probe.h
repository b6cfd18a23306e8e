#pragma once

// Which of alsa-lib's PCM devices can carry a measurement: two channels of
// packed 24-bit little-endian samples at 48000 Hz, playback and capture.

#include <string>
#include <string_view>
#include <vector>

enum class DeviceFit {
    Direct,      // takes the format as it is, both ways
    Converting,  // takes it only through a converting device (plug)
    Unfit,       // cannot carry a measurement
    Busy,        // another program holds it (EBUSY)
};

// Why a device is unfit, in the order the parameters are tested.
enum class ProbeStep { None, Open, Access, Format, Channels, Rate, Params };

struct DeviceProbe {
    DeviceFit fit = DeviceFit::Unfit;
    // The converting name that works, when it is another device than the
    // one probed (the plughw: name of a hw: device); empty otherwise.
    std::string via;
    // For Unfit: the direction and step that failed, with alsa-lib's code.
    bool playback = true;
    ProbeStep step = ProbeStep::None;
    int error = 0;
};

// One device of alsa-lib's name hints, as aplay -L lists them.
struct ListedDevice {
    std::string name;
    std::string description;  // may hold several lines; empty when none is given
    DeviceProbe probe;
};

// Tests whether `name` opens both ways with the measurement's format at
// `rate`: each direction is opened non-blocking, its parameters tested and
// installed, and the device closed again, so nothing is held. A device that is not
// Direct but whose name starts with "hw:" is tried again by its plughw:
// name; a device of the plug type that passes is Converting.
DeviceProbe ProbeDevice(const std::string& name, unsigned rate);

// The PCM devices of alsa-lib's name hints, in alsa-lib's order (led by
// "default" when no hint names it), each probed. Fails (an empty list and a negative code in
// `error`) when alsa-lib gives no hints.
std::vector<ListedDevice> ListDevices(unsigned rate, int& error);

// The converting name of a hw: device: "hw:1,0" gives "plughw:1,0", "hw"
// gives "plughw"; any other name gives an empty string.
std::string ConvertingName(std::string_view name);

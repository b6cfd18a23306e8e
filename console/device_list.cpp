#include "console/device_list.h"

#include <cstdio>

#include "console/measurement_run.h"
#include "console/options.h"

namespace {

const char* Mark(DeviceFit fit) {
    switch (fit) {
        case DeviceFit::Direct:
            return "yes ";
        case DeviceFit::Converting:
            return "plug";
        case DeviceFit::Busy:
            return "busy";
        case DeviceFit::Unfit:
            break;
    }
    return "no  ";
}

const char* StepText(ProbeStep step) {
    switch (step) {
        case ProbeStep::Open:
            return "does not open";
        case ProbeStep::Access:
            return "offers no read/write access";
        case ProbeStep::Format:
            return "refuses packed 24-bit samples";
        case ProbeStep::Channels:
            return "refuses 2 channels";
        case ProbeStep::Rate:
            return "refuses 48000 Hz";
        case ProbeStep::Params:
            return "refuses the parameters";
        case ProbeStep::None:
            break;
    }
    return "";
}

}  // namespace

std::string DeviceListText(const std::vector<ListedDevice>& devices) {
    std::string text =
        "ALSA devices, marked by whether they play and record 2 channels of packed\n"
        "24-bit samples at 48000 Hz (yes: as they are; plug: only through a converting\n"
        "device; no: not at all; busy: in use by another program):\n";
    if (devices.empty()) text += "  (none)\n";
    for (const ListedDevice& device : devices) {
        text += "  ";
        text += Mark(device.probe.fit);
        text += "  " + Printable(device.name);
        const DeviceProbe& probe = device.probe;
        if (probe.fit == DeviceFit::Converting) {
            if (!probe.via.empty()) {
                text += "  (use " + Printable(probe.via) + ")";
            } else {
                text += "  (converts)";
            }
        } else if (probe.fit == DeviceFit::Unfit && probe.step != ProbeStep::None) {
            text += std::string("  (") + (probe.playback ? "playback " : "capture ") +
                    StepText(probe.step) + ")";
        }
        text += "\n";
        std::size_t begin = 0;
        while (begin < device.description.size()) {
            std::size_t end = device.description.find('\n', begin);
            if (end == std::string::npos) end = device.description.size();
            text += "        " + Printable(device.description.substr(begin, end - begin)) + "\n";
            begin = end + 1;
        }
    }
    return text;
}

int ListDevicesCommand() {
    int error = 0;
    const std::vector<ListedDevice> devices = ListDevices(kSampleRate, error);
    if (error < 0) {
        std::fprintf(stderr, "zembrak: alsa-lib gives no list of devices: %s\n",
                     DeviceErrorText(error));
        return 1;
    }
    std::fputs(DeviceListText(devices).c_str(), stdout);
    return 0;
}

std::string DeviceHintLine(const std::string& deviceName, const DeviceFailure& failure) {
    if (failure.stage == SetupStage::Channels) return {};
    const std::string shown = "\"" + Printable(deviceName) + "\"";
    const std::string plug = ConvertingName(deviceName);
    if (failure.stage == SetupStage::Format && !plug.empty()) {
        return "Device " + shown + " refuses packed 24-bit samples: try \"" + Printable(plug) +
               "\", which converts them (zembrak -L lists the devices).\n";
    }
    return "Device " + shown +
           " cannot measure: zembrak -L lists the devices and which of them can.\n";
}

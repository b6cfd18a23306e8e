#include "audio/device_probe.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr unsigned kProbeChannels = 2;

// Keeps alsa-lib's own messages about the devices probed off the console.
void IgnoreProbeDiagnostic(const char*, int, const char*, int, const char*, ...) {}

struct ProbeResult {
    ProbeStep step = ProbeStep::None;  // None: the direction fits
    int error = 0;
    bool converts = false;  // the device is a plug device
};

// Opens `name` in one direction without waiting for it, tests the
// measurement's parameters one after the other (each narrowing the space
// for the next), installs them and closes it.
ProbeResult ProbeDirection(const std::string& name, snd_pcm_stream_t direction, unsigned rate) {
    ProbeResult result;
    snd_pcm_t* pcm = nullptr;
    int error = snd_pcm_open(&pcm, name.c_str(), direction, SND_PCM_NONBLOCK);
    if (error < 0) {
        result.step = ProbeStep::Open;
        result.error = error;
        return result;
    }
    const std::unique_ptr<snd_pcm_t, int (*)(snd_pcm_t*)> closing(pcm, snd_pcm_close);
    result.converts = snd_pcm_type(pcm) == SND_PCM_TYPE_PLUG;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    error = snd_pcm_hw_params_any(pcm, params);
    const auto fail = [&](ProbeStep step, int code) {
        result.step = step;
        result.error = code < 0 ? code : -EINVAL;
        return result;
    };
    if (error < 0) return fail(ProbeStep::Open, error);
    // The transfer takes either access; non-interleaved is preferred.
    if (snd_pcm_hw_params_test_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED) == 0) {
        snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    } else if ((error = snd_pcm_hw_params_test_access(pcm, params,
                                                      SND_PCM_ACCESS_RW_INTERLEAVED)) == 0) {
        snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    } else {
        return fail(ProbeStep::Access, error);
    }
    error = snd_pcm_hw_params_test_format(pcm, params, SND_PCM_FORMAT_S24_3LE);
    if (error < 0) return fail(ProbeStep::Format, error);
    snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S24_3LE);
    error = snd_pcm_hw_params_test_channels(pcm, params, kProbeChannels);
    if (error < 0) return fail(ProbeStep::Channels, error);
    snd_pcm_hw_params_set_channels(pcm, params, kProbeChannels);
    error = snd_pcm_hw_params_test_rate(pcm, params, rate, 0);
    if (error < 0) return fail(ProbeStep::Rate, error);
    snd_pcm_hw_params_set_rate(pcm, params, rate, 0);
    // What is left must also install: some devices refuse only then. The
    // close frees it again.
    error = snd_pcm_hw_params(pcm, params);
    if (error < 0) return fail(ProbeStep::Params, error);
    return result;
}

// Both directions of one name: the first that does not fit decides.
DeviceProbe ProbeBoth(const std::string& name, unsigned rate, bool& converts) {
    DeviceProbe probe;
    converts = false;
    for (const snd_pcm_stream_t direction : {SND_PCM_STREAM_PLAYBACK, SND_PCM_STREAM_CAPTURE}) {
        const ProbeResult result = ProbeDirection(name, direction, rate);
        if (result.step != ProbeStep::None) {
            probe.fit = result.error == -EBUSY ? DeviceFit::Busy : DeviceFit::Unfit;
            probe.playback = direction == SND_PCM_STREAM_PLAYBACK;
            probe.step = result.step;
            probe.error = result.error;
            return probe;
        }
        converts = converts || result.converts;
    }
    probe.fit = converts ? DeviceFit::Converting : DeviceFit::Direct;
    return probe;
}

// Copies one field of a hint and frees alsa-lib's copy.
std::string HintField(const void* hint, const char* field) {
    char* value = snd_device_name_get_hint(hint, field);
    if (value == nullptr) return {};
    std::string text(value);
    std::free(value);
    return text;
}

// While it lives, what the libraries behind the devices write straight to
// standard error (a sound server's client that finds no server) goes
// nowhere: the probe's results are what the list says.
class StandardErrorMuted {
  public:
    StandardErrorMuted() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~StandardErrorMuted() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    StandardErrorMuted(const StandardErrorMuted&) = delete;
    StandardErrorMuted& operator=(const StandardErrorMuted&) = delete;

  private:
    int saved_ = -1;
};

}  // namespace

std::string ConvertingName(std::string_view name) {
    if (name == "hw" || name.substr(0, 3) == "hw:") return "plug" + std::string(name);
    return {};
}

DeviceProbe ProbeDevice(const std::string& name, unsigned rate) {
    snd_lib_error_set_handler(IgnoreProbeDiagnostic);
    bool converts = false;
    DeviceProbe probe = ProbeBoth(name, rate, converts);
    if (probe.fit != DeviceFit::Unfit) return probe;
    const std::string plug = ConvertingName(name);
    if (plug.empty()) return probe;
    bool plugConverts = false;
    const DeviceProbe converted = ProbeBoth(plug, rate, plugConverts);
    if (converted.fit == DeviceFit::Direct || converted.fit == DeviceFit::Converting) {
        probe.fit = DeviceFit::Converting;
        probe.via = plug;
    }
    return probe;
}

std::vector<ListedDevice> ListDevices(unsigned rate, int& error) {
    std::vector<ListedDevice> devices;
    snd_lib_error_set_handler(IgnoreProbeDiagnostic);
    void** hints = nullptr;
    error = snd_device_name_hint(-1, "pcm", &hints);
    if (error < 0) return devices;
    const std::unique_ptr<void*, int (*)(void**)> freeing(hints, snd_device_name_free_hint);
    // The device a run uses when none is named comes first, also when no
    // hint describes it.
    bool hasDefault = false;
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        if (name != nullptr && std::string_view(name) == "default") hasDefault = true;
        std::free(name);
    }
    if (!hasDefault) devices.push_back(ListedDevice{"default", "", DeviceProbe{}});
    for (void** hint = hints; *hint != nullptr; ++hint) {
        ListedDevice device;
        device.name = HintField(*hint, "NAME");
        if (device.name.empty()) continue;
        device.description = HintField(*hint, "DESC");
        devices.push_back(std::move(device));
    }
    // A probe asks a device, it does not start a sound server for it.
    setenv("JACK_NO_START_SERVER", "1", 0);
    const StandardErrorMuted muted;
    for (ListedDevice& device : devices) device.probe = ProbeDevice(device.name, rate);
    return devices;
}

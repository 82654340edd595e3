// Start-up of the audio file controller, which also fixes the recording
// parameters of new dictation files.
#pragma once

#include <cstdint>
#include <string>

namespace pvd {

struct RecordSettings {
    std::int32_t sampleRate = 0;
    std::int16_t channels = 0;
    std::int16_t waveFormat = 0;  // never set: stays 0
};

// The process-wide recording settings.
RecordSettings& RecordingSettings();

// Hands the format library to the controller and sets 11025 Hz mono. When the
// controller library is missing the settings keep their zero values.
// Returns false in that case.
bool InitFileControl();

// Why the recording parameters are not set ("" once they are): names the
// component that is missing, for the log.
std::string RecordingSettingsProblem();

}  // namespace pvd

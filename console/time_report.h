#pragma once

#include <string>

#include "analysis/time_views.h"
#include "console/run_description.h"

// Why a value of the time views is missing, in words.
std::string TimeGapText(TimeGap gap);

// The tables printed after the acoustics table: the early reflections with
// the initial time gap, and the room modes. Every line ends with '\n'.
std::string TimeViewsTable(const TimeViews& views);

// The reflections file: a header (date, device, settings, sweep, program,
// method), the reflections, the initial time gap and the modes.
std::string TimeViewsFileText(const TimeViews& views, const RunDescription& run);

#include "analysis/response_text.h"

Outcome<ResponseText, CalibrationError> ParseResponseText(std::string_view text) {
    FrequencyTableRules rules;
    rules.furtherColumns = true;
    rules.zeroHzDropped = true;
    auto table = ParseFrequencyTable(text, rules);
    if (!table) return Fail(table.reason());
    ResponseText response;
    response.hasPhase = table.value().hasPhase;
    response.points.reserve(table.value().points.size());
    for (const CalibrationPoint& point : table.value().points) {
        response.points.push_back({point.frequency, point.gainDb, point.phaseDeg});
    }
    return response;
}

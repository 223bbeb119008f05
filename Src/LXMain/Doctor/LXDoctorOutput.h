#pragma once

#include <string>

#include <json/value.h>

#include "LXDoctorModel.h"

namespace lx::doctor {

// The report as one JSON document; keys are listed in the README.
Json::Value ReportToJson(const DoctorReport& report, long long nProbeTimeLimitMs);
std::string FormatJson(const Json::Value& value);

// The report for a person: sections, aligned columns, colour on request.
std::string FormatText(const DoctorReport& report, bool bColour);

} // namespace lx::doctor

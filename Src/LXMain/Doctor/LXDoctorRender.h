#pragma once

#include <string>

#include "LXDoctorReport.h"

namespace lx::doctor {

// The report as one JSON document.
std::string RenderJson(const DoctorReport& report);

// The report for a person: the version table, then each check; colour on
// request.
std::string RenderText(const DoctorReport& report, bool bColour);

} // namespace lx::doctor

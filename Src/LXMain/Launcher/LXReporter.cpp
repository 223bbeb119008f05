#include "LXReporter.h"

// The Linux client has no launch statistics channel: the records are dropped.
void CLXReporter::ReportLaunchAppRecord(std::shared_ptr<LaunchAppRecord>) {}

void CLXReporter::ReportStartMainAppRecord(std::shared_ptr<StartMainAppRecord>) {}

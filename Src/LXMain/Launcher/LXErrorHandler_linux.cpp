#include "LXErrorHandler.h"

// Nothing to show on Linux: the console is silenced and there is no crash
// reporter to hand the failure to.
void CLXErrorHandler::HandleLaunchError(LaunchError) {}

void CLXErrorHandler::HandleStartMainResultError(int) {}

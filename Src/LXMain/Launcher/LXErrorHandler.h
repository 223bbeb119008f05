#pragma once

enum class LaunchError : int {
    LAUNCH_NO_ERROR = 0,
    LAUNCH_LOAD_MODULE_FAIL = 1,
    LAUNCH_LOAD_START_FUNCTION_FAIL = 2,
    LAUNCH_NEED_INIT_START_FUNCTION = 3,
};

// Platform hook for launch failures; each platform supplies the bodies.
class CLXErrorHandler {
public:
    void HandleLaunchError(LaunchError enError);
    void HandleStartMainResultError(int nResult);
};

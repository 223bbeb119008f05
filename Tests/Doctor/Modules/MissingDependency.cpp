// A main-application library that needs a library its installation lacks.
int LxDoctorTestDependency();

extern "C" __attribute__((visibility("default"))) int StartMainApp(int, int, char**)
{
    return LxDoctorTestDependency();
}

// The library the missing-dependency module links against; never installed.
int LxDoctorTestDependency()
{
    return 0;
}

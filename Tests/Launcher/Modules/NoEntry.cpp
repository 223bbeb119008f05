// A library that loads like the client's main application but lacks its
// entry point.
extern "C" __attribute__((visibility("default"))) int StartMainApplication(int nValue)
{
    return nValue;
}

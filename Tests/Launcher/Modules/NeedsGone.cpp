// Has the entry, but needs a library that is not there: loading it fails.
#include "LXEnumDefine.h"

extern "C" int LxTestGoneFunction();

extern "C" __attribute__((visibility("default"))) int StartMainApp(ClientType, int, char**)
{
    return LxTestGoneFunction();
}

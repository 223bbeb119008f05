// A shared library the NeedsGone module links against; the tests never copy
// it beside the module, so the loader cannot find it.
extern "C" __attribute__((visibility("default"))) int LxTestGoneFunction()
{
    return 0;
}

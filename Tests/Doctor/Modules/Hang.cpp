// A main-application library whose initialiser never returns.
#include <unistd.h>

namespace {

[[gnu::constructor]] void NeverFinishLoading()
{
    for (;;) {
        ::pause();
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) int StartMainApp(int, int, char**)
{
    return 0;
}

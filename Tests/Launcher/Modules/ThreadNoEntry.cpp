// Loads like the main application and lacks its entry; its initialiser
// starts a thread that keeps running this library's own code, so unloading
// the library under it crashes the process.

#include <pthread.h>
#include <sched.h>

#include <atomic>

namespace {

std::atomic<unsigned long> g_uSpins{0};

// Never leaves this library's code: no call out that could yield the CPU.
void* Spin(void*)
{
    for (;;) {
        g_uSpins.fetch_add(1, std::memory_order_relaxed);
    }
    return nullptr;
}

// Returns once the thread runs, so it is inside this library whatever the
// machine's load.
__attribute__((constructor)) void StartSpinner()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, Spin, nullptr) != 0) {
        return;
    }
    pthread_detach(thread);
    while (g_uSpins.load(std::memory_order_relaxed) == 0) {
        sched_yield();
    }
}

} // namespace

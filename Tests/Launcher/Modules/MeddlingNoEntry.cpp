// Loads like the main application and lacks its entry; its initialiser
// changes process-wide state a started program could inherit: a SIGCHLD
// handler in this library's code, SIGUSR2 ignored, SIGUSR1 blocked, and a
// descriptor opened without close-on-exec.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

namespace {

volatile sig_atomic_t g_nChildSignals = 0;

void OnChild(int)
{
    g_nChildSignals = g_nChildSignals + 1;
}

__attribute__((constructor)) void Meddle()
{
    struct sigaction action {};
    action.sa_handler = OnChild;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
    signal(SIGUSR2, SIG_IGN);
    sigset_t setBlocked;
    sigemptyset(&setBlocked);
    sigaddset(&setBlocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &setBlocked, nullptr);
    (void)open("/dev/null", O_RDONLY);
}

} // namespace

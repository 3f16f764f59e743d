#include "simstall.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace zsim {

void SimStall::forever()
{
    // A stalled process ends by the signal, whatever handlers were set.
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        signal(sig, SIG_DFL);
    for (;;)
        pause();
}

} // namespace zsim

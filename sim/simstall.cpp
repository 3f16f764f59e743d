#include "simstall.h"

#include <unistd.h>

namespace zsim {

void SimStall::forever()
{
    for (;;)
        pause();
}

} // namespace zsim

#include "output_pipe.h"

#include <poll.h>
#include <unistd.h>

namespace gpio_tools {

// The write end of a pipe with no reader left polls as an error.
bool OutputReaderGone()
{
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    return poll(&output, 1, 0) == 1 && (output.revents & POLLERR) != 0;
}

}  // namespace gpio_tools

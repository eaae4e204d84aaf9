// Whether standard output is a pipe whose reader has gone, as when the
// output of a tool goes to `head -1`.
#ifndef GPIO_TOOLS_OUTPUT_PIPE_H
#define GPIO_TOOLS_OUTPUT_PIPE_H

namespace gpio_tools {

bool OutputReaderGone();

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_OUTPUT_PIPE_H

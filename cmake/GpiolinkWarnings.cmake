# Warnings are errors for everything the project builds itself.
add_library(gpiolink_warnings INTERFACE)
target_compile_options(gpiolink_warnings INTERFACE -Wall -Wextra -Werror)

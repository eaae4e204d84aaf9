"""The commands gpioctl and gpio-sim of the Linux wheel, which carries the
two programs in the package's folder bin/ (linked statically: they need
nothing from the system). Each command runs its program in its own place
with the command's arguments, so that the output, the exit status and the
signals are the program's own: `gpio-sim &` then `kill $!` stops gpio-sim.

A command that cannot run its program says why and exits with 127 when the
package carries none (a wheel built from the sdist, or for another system),
126 when the program would not start, as a shell does.
"""

import os
import sys

_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")


def _run(name):
    program = os.path.join(_FOLDER, name)
    if not os.path.isfile(program):
        sys.stderr.write("%s: this gpiolink package carries no %s program (the Linux wheel of a release does); "
                         "install the Debian package gpiolink-tools, or build gpiolink from source\n"
                         % (name, name))
        return 127
    sys.stdout.flush()
    try:
        os.execv(program, [name] + sys.argv[1:])
    except OSError as error:
        sys.stderr.write("%s: cannot run %s: %s\n" % (name, program, error.strerror or error))
    return 126


def gpioctl():
    return _run("gpioctl")


def gpio_sim():
    return _run("gpio-sim")

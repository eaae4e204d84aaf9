#!/bin/sh
# Makes the terminal PATH the controlling terminal of a session of its own,
# as a login shell's terminal is, and holds it until killed (or for two
# minutes). Prints "held PID" once it does: PID is the process that holds
# it, the session's leader. The tests of gpioctl and of both bindings use it.
# usage: hold_terminal.sh PATH
# The new session has no controlling terminal, so the shell's open of PATH
# (without O_NOCTTY) gives it one; sleep keeps the process, its session and
# the open terminal.
exec setsid sh -c 'exec 3<>"$1" && echo "held $$" && exec sleep 120' hold_terminal "$1"

#!/usr/bin/env python3
"""A pseudo-terminal whose far end has stopped reading: its output queue is
filled until the system takes no more, and nothing ever drains it, so every
later write to the port blocks. Links LINK to the port, prints "port: PATH"
and waits until it is killed.

usage: stalled_line.py LINK
"""
import os
import select
import signal
import sys
import tty


def main():
    link = sys.argv[1]
    master, port = os.openpty()  # the master is kept open and never read
    tty.setraw(port)
    os.set_blocking(port, False)
    # The kernel moves queued bytes on to the master's side in the
    # background, so a refused write may find room again a moment later:
    # the queue counts as full only once it has taken nothing for 300 ms.
    while True:
        try:
            os.write(port, bytes(4096))
        except BlockingIOError:
            if not select.select([], [port], [], 0.3)[1]:
                break
    path = os.ttyname(port)
    if os.path.islink(link):
        os.unlink(link)
    os.symlink(path, link)
    print("port:", path, flush=True)
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    os.unlink(link)
    os.close(master)


if __name__ == "__main__":
    main()

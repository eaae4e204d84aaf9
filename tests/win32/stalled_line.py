#!/usr/bin/env python3
"""A pseudo-terminal whose far end has stopped reading: its output queue is
filled until the system takes no more, and nothing ever drains it, so every
later write to the port blocks. Links LINK to the port, prints "port: PATH"
and waits until it is killed.

usage: stalled_line.py LINK
"""
import os
import signal
import sys
import tty


def main():
    link = sys.argv[1]
    master, port = os.openpty()  # the master is kept open and never read
    tty.setraw(port)
    os.set_blocking(port, False)
    try:
        while True:
            os.write(port, bytes(4096))
    except BlockingIOError:
        pass
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

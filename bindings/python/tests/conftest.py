"""gpio-sim processes for the tests: GPIOLINK_SIM names the program."""

import os
import pathlib
import subprocess

import pytest

_BUILT = pathlib.Path(__file__).resolve().parents[3] / "build/linux/tools/gpio_sim/gpio-sim"


@pytest.fixture(scope="session")
def start_sim():
    """Starts one more simulator, with gpio-sim's options if given, and
    returns its port name. The library locks a port while it is open, so a
    test that leaves one open needs its own."""
    program = os.environ.get("GPIOLINK_SIM") or str(_BUILT)
    if not os.access(program, os.X_OK):
        pytest.skip("no gpio-sim program (set GPIOLINK_SIM)")
    running = []

    def start(*options):
        sim = subprocess.Popen([program, "--magic-ports", *options], stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True)
        running.append(sim)
        first = sim.stdout.readline().strip()
        assert first.startswith("port: "), "gpio-sim printed %r" % first
        return first[len("port: "):]

    yield start
    for sim in running:
        sim.terminate()
        sim.wait(timeout=10)
        sim.stdout.close()


@pytest.fixture(scope="session")
def sim_port(start_sim):
    return start_sim()


@pytest.fixture
def controller(sim_port):
    import gpiolink

    with gpiolink.Controller(sim_port) as opened:
        yield opened

"""The commands gpioctl and gpio-sim of the Linux wheel run the programs in
the package's bin/ folder in their own place: arguments, output and exit
status are the program's. Stand-in programs (shell scripts) show what they
were given."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="the Linux wheel's commands")


def _command(folder, function, *arguments):
    """Runs gpiolink._programs.FUNCTION as the console script would, with the
    package's program folder set to `folder`."""
    script = textwrap.dedent("""
        import sys
        from gpiolink import _programs
        _programs._FOLDER = sys.argv[1]
        sys.argv = ["command"] + sys.argv[3:]
        sys.exit(getattr(_programs, sys.argv_function)())
    """).replace("sys.argv_function", "%r" % function)
    return subprocess.run([sys.executable, "-c", script, str(folder), "-"] + list(arguments),
                          capture_output=True, text=True, timeout=60)


def _stand_in(folder, name, body):
    program = folder / name
    program.write_text("#!/bin/sh\n" + body)
    program.chmod(0o755)


def test_each_command_runs_its_program_with_the_arguments_and_its_exit_status(tmp_path):
    # $0 is the command's name, as a user typed it; $$ against the parent's
    # pid shows that the program took the command's place (no child).
    for name, function in (("gpioctl", "gpioctl"), ("gpio-sim", "gpio_sim")):
        _stand_in(tmp_path, name, 'echo "$(basename "$0")|$*|$$|$PPID"\nexit 64\n')
    for name, function in (("gpioctl", "gpioctl"), ("gpio-sim", "gpio_sim")):
        ran = _command(tmp_path, function, "--port", "pts/3", "a b")
        assert ran.returncode == 64, ran.stderr
        program, arguments, pid, parent = ran.stdout.strip().split("|")
        assert (program, arguments) == (name, "--port pts/3 a b")
        assert int(parent) == os.getpid(), "the program ran as a child of the command, not in its place"
        assert ran.stderr == ""


def test_a_command_without_its_program_says_what_to_install(tmp_path):
    ran = _command(tmp_path, "gpio_sim", "--trace")
    assert ran.returncode == 127
    assert "gpio-sim: this gpiolink package carries no gpio-sim program" in ran.stderr
    assert "gpiolink-tools" in ran.stderr

    (tmp_path / "gpioctl").write_text("not executable")
    ran = _command(tmp_path, "gpioctl", "version")
    assert ran.returncode == 126
    assert ran.stderr.startswith("gpioctl: cannot run %s: " % (tmp_path / "gpioctl"))

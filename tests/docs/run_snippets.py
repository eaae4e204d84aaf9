"""Runs the code snippets of the project's Markdown files, as written,
against a fresh gpio-sim each, and checks that they print what they say.

usage: run_snippets.py FILE.md...

Fenced blocks are run by their language:
  c       compiled against the installed package, run with the simulator's
          port as its only argument
  python  run by this interpreter, with the simulator's port as argument
  sh      every command line run in turn, the example port name ttyUSB0
          standing for the simulator's port; each must exit with 0
  text    shown output: not run
  csharp  not run here: the C# binding's test dotnet_ReadmeExampleTests
          compiles and runs the README's one C# example, with the commands
          below it, under Mono
Any other language fails the run, so no new snippet goes unchecked. A
comment on a line that prints (print, printf) gives the text the snippet
prints there; each such text must appear in its output.

Settings from the environment:
  GPIOLINK_PREFIX  the installed package: include/, lib/, bin/ (gpioctl,
                   gpio-sim)
  GPIOLINK_CC      the C compiler
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile

PREFIX = pathlib.Path(os.environ["GPIOLINK_PREFIX"])
LIBDIR = PREFIX / os.environ.get("GPIOLINK_LIBDIR", "lib")
BINDIR = PREFIX / "bin"
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```$", re.S | re.M)
# A comment on a printing line: Python/shell "# text", C "/* text */".
PRINTED = re.compile(r"\bprint[f]?\(.*(?:#\s*(.+)|/\*\s*(.+?)\s*\*/)\s*$")
TIMEOUT = 60


class Simulator:
    """A gpio-sim process with its default options, as a user starts it."""

    def __enter__(self):
        self.process = subprocess.Popen([str(BINDIR / "gpio-sim")], stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("port: "):
            raise RuntimeError("gpio-sim printed %r" % line)
        self.port = line[len("port: "):]
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


def promised_output(code):
    """The texts that the snippet's printing lines say they print."""
    texts = []
    for line in code.splitlines():
        match = PRINTED.search(line)
        if match:
            texts.append((match.group(1) or match.group(2)).strip().strip('"'))
    return texts


def run(command, **kwargs):
    environment = dict(os.environ, PATH="%s:%s" % (BINDIR, os.environ["PATH"]))
    environment.pop("LD_LIBRARY_PATH", None)
    result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, env=environment,
                            **kwargs)
    output = result.stdout + result.stderr
    if result.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s" % (command, result.returncode, output))
    return output


def run_c(code, port, scratch):
    source = scratch / "snippet.c"
    program = scratch / "snippet"
    source.write_text(code)
    run([os.environ.get("GPIOLINK_CC", "cc"), "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
         "-I%s" % (PREFIX / "include"), "-o", str(program), str(source),
         "-L%s" % LIBDIR, "-Wl,-rpath,%s" % LIBDIR, "-lgpiolink"])
    return run([str(program), port])


def run_python(code, port, scratch):
    script = scratch / "snippet.py"
    script.write_text(code)
    # The binding loads the library of the installed package.
    os.environ["GPIOLINK_LIBRARY"] = str(LIBDIR / "libgpiolink.so")
    return run([sys.executable, str(script), port], cwd=str(scratch))


def run_sh(code, port, scratch):
    output = ""
    for line in code.splitlines():
        command = line.split("#", 1)[0].strip()
        if command:
            command = re.sub(r"\bttyUSB0\b", port, command)
            output += run(["sh", "-c", command], cwd=str(scratch))
    return output


RUNNERS = {"c": run_c, "python": run_python, "sh": run_sh}


def main(files):
    count = 0
    failures = []
    for name in files:
        text = pathlib.Path(name).read_text()
        for match in FENCE.finditer(text):
            language, code = match.group(1), match.group(2)
            line = text.count("\n", 0, match.start()) + 1
            where = "%s:%d (%s)" % (name, line, language or "no language")
            if language in ("text", "csharp"):
                continue
            if language not in RUNNERS:
                failures.append("%s: no way to run this snippet; give it a language of %s"
                                % (where, ", ".join(sorted(RUNNERS))))
                continue
            count += 1
            try:
                with Simulator() as sim, tempfile.TemporaryDirectory() as scratch:
                    output = RUNNERS[language](code, sim.port, pathlib.Path(scratch))
                missing = [text for text in promised_output(code) if text not in output]
                if missing:
                    raise AssertionError("does not print %s; it printed:\n%s" % (missing, output))
                print("ok   %s" % where)
            except (AssertionError, subprocess.SubprocessError, RuntimeError) as error:
                failures.append("%s: %s" % (where, error))
    for failure in failures:
        print("FAIL %s" % failure)
    print("%d snippets run, %d failed" % (count, len(failures)))
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

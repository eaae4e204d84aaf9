"""Runs the code snippets of the project's Markdown files, as written,
against a fresh gpio-sim each, and checks that they print what they say.

usage: run_snippets.py FILE.md|FOLDER...   (a folder: every *.md in it)

Fenced blocks are run by their language:
  c       compiled against the installed package, run with the simulator's
          port as its only argument
  python  run by this interpreter, with the simulator's port as argument
  cmake   a project's CMakeLists.txt that builds the file's first C example
          as quickstart.c: configured against the installed package, built,
          and run with the simulator's port as its only argument
  sh      run as one script with `sh -e`, as a user types it into a shell;
          it must exit with 0. The sh blocks of one file run in turn in the
          same scratch copy of the source tree (build/ and dist/ left out)
          with the same scratch HOME, as a user follows a page (files carry
          over from block to block, shell variables do not); app/ there
          holds the file's first C example as quickstart.c and its first
          cmake block as CMakeLists.txt. The installed package's bin/ comes
          first on the PATH, the example port name ttyUSB0 stands for
          the simulator's port, and the MQTT port 1883 and the Modbus
          port 1502 each for a free port of 127.0.0.1 (so that a block's
          broker or server meets no other). Processes a
          block starts in the background are stopped when it ends.
  text    shown output: not run
  mermaid a diagram, drawn by the forge and by the docs' viewer: not run
  csharp  not run here: the C# binding's tests (ReadmeExampleTests) run
          the README's C# example
Any other language fails the run, so no new snippet goes unchecked.

A block that cannot run here (real hardware, Windows, a release artefact,
root) says so on the line just before its fence, in a comment that a
rendered page does not show:
  <!-- not run: the reason -->
The reason is required and the runner prints it.

A comment on a line that prints (print, printf) gives the text the snippet
prints there; each such text must appear in its output.

Every relative link, [text](path) or [text](path#heading), must lead to a
file that exists and, with #heading, to one of its headings.

Settings from the environment:
  GPIOLINK_PREFIX      the installed package: include/, lib/, bin/ (gpioctl,
                       gpio-sim)
  GPIOLINK_LIBDIR      its library folder below the prefix (lib)
  GPIOLINK_SOURCE_DIR  the source tree that sh blocks run in a copy of
  GPIOLINK_CC          the C compiler
"""

import functools
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

PREFIX = pathlib.Path(os.environ["GPIOLINK_PREFIX"])
LIBDIR = PREFIX / os.environ.get("GPIOLINK_LIBDIR", "lib")
BINDIR = PREFIX / "bin"
SOURCE = pathlib.Path(os.environ.get("GPIOLINK_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```$", re.S | re.M)
# The comment before a block not run; the reason (group 1) may be missing or empty.
NOT_RUN = re.compile(r"<!--\s*not run\s*(?::\s*(.*?))?\s*-->\s*\n$")
# A comment on a printing line: Python/shell "# text", C "/* text */".
PRINTED = re.compile(r"\bprint[f]?\(.*(?:#\s*(.+)|/\*\s*(.+?)\s*\*/)\s*$")
# A sh block may build the project from source: a few minutes on 2 cores.
TIMEOUT = 600


LINK = re.compile(r"\]\(([^)\s]+)\)")


@functools.lru_cache(maxsize=None)
def heading_anchors(page):
    """The anchors a Markdown page gives its headings, as GitHub makes them
    (each page read once, however many links lead to it)."""
    anchors = set()
    for heading in re.findall(r"^#+\s+(.*?)\s*$", FENCE.sub("", page.read_text()), re.M):
        anchors.add(re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-"))
    return anchors


def broken_links(name, text):
    """The relative links of a page that lead nowhere."""
    broken = []
    for target in LINK.findall(FENCE.sub("", text)):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        page = (name.parent / path) if path else name
        if not page.exists():
            broken.append(target)
        elif anchor and page.suffix == ".md" and anchor not in heading_anchors(page.resolve()):
            broken.append(target)
    return broken


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


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def promised_output(code):
    """The texts that the snippet's printing lines say they print."""
    texts = []
    for line in code.splitlines():
        match = PRINTED.search(line)
        if match:
            texts.append((match.group(1) or match.group(2)).strip().strip('"'))
    return texts


def environment(**extra):
    env = dict(os.environ, PATH="%s:%s" % (BINDIR, os.environ["PATH"]), **extra)
    # A build in a snippet compiles one file at a time: the suites running
    # beside it keep their share of the machine.
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "1")
    env.pop("LD_LIBRARY_PATH", None)
    return env


def run(command, env=None, **kwargs):
    # A session of its own, so that whatever the command leaves running in
    # the background is stopped with it; the output goes to a file, which a
    # process left in the background cannot hold open as it would a pipe.
    with tempfile.TemporaryFile(mode="w+") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, text=True,
                                   env=env or environment(), start_new_session=True, **kwargs)
        try:
            process.wait(timeout=TIMEOUT)
        finally:
            try:
                os.killpg(process.pid, signal.SIGKILL if process.returncode is None else signal.SIGTERM)
            except ProcessLookupError:
                pass
            process.wait()
        log.seek(0)
        output = log.read()
    if process.returncode != 0:
        raise AssertionError("%s exited with %d:\n%s" % (command, process.returncode, output))
    return output


def run_c(code, port, scratch, context):
    source = scratch / "snippet.c"
    program = scratch / "snippet"
    source.write_text(code)
    run([os.environ.get("GPIOLINK_CC", "cc"), "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
         "-I%s" % (PREFIX / "include"), "-o", str(program), str(source),
         "-L%s" % LIBDIR, "-Wl,-rpath,%s" % LIBDIR, "-lgpiolink"])
    return run([str(program), port])


def run_python(code, port, scratch, context):
    script = scratch / "snippet.py"
    script.write_text(code)
    # The binding loads the library of the installed package.
    env = environment(GPIOLINK_LIBRARY=str(LIBDIR / "libgpiolink.so"))
    return run([sys.executable, str(script), port], env=env, cwd=str(scratch))


def run_cmake(code, port, scratch, context):
    app = scratch / "app"
    app.mkdir()
    (app / "CMakeLists.txt").write_text(code)
    (app / "quickstart.c").write_text(context["c"] or "")
    run(["cmake", "-S", str(app), "-B", str(app / "build"), "-DCMAKE_PREFIX_PATH=%s" % PREFIX])
    run(["cmake", "--build", str(app / "build")])
    return run([str(app / "build" / "quickstart"), port])


class ShellSession:
    """The scratch source tree and HOME that the sh blocks of one file share."""

    def __init__(self, context):
        self.context = context
        self.folder = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.folder:
            self.folder.cleanup()

    def prepare(self):
        if self.folder:
            return
        self.folder = tempfile.TemporaryDirectory()
        root = pathlib.Path(self.folder.name)
        self.tree = root / "gpiolink"
        shutil.copytree(SOURCE, self.tree, symlinks=True,
                        ignore=lambda folder, names: [n for n in names if n in ("build", "dist", ".git")]
                        if pathlib.Path(folder) == SOURCE else [])
        app = self.tree / "app"
        app.mkdir()
        for language, name in (("c", "quickstart.c"), ("cmake", "CMakeLists.txt")):
            if self.context.get(language):
                (app / name).write_text(self.context[language])
        self.home = root / "home"
        self.home.mkdir()

    def __call__(self, code, port, scratch, context):
        self.prepare()
        script = scratch / "snippet.sh"
        for service_port in ("1883", "1502"):
            code = re.sub(r"\b%s\b" % service_port, str(free_port()), code)
        script.write_text(re.sub(r"\bttyUSB0\b", port, code))
        return run(["sh", "-e", str(script)], env=environment(HOME=str(self.home)), cwd=str(self.tree))


RUNNERS = {"c": run_c, "cmake": run_cmake, "python": run_python}


def markdown_files(arguments):
    for argument in arguments:
        path = pathlib.Path(argument)
        if path.is_dir():
            yield from sorted(path.glob("*.md"))
        else:
            yield path


def main(arguments):
    count = 0
    skipped = 0
    failures = []
    for name in markdown_files(arguments):
        text = name.read_text()
        failures.extend("%s: the link %s leads nowhere" % (name, link) for link in broken_links(name, text))
        blocks = list(FENCE.finditer(text))
        context = {language: next((m.group(2) for m in blocks if m.group(1) == language), None)
                   for language in ("c", "cmake")}
        with ShellSession(context) as shell:
            runners = dict(RUNNERS, sh=shell)
            for match in blocks:
                language, code = match.group(1), match.group(2)
                where = "%s:%d (%s)" % (name, text.count("\n", 0, match.start()) + 1, language or "no language")
                before = text[:match.start()]
                not_run = NOT_RUN.search(before)
                if not_run and not not_run.group(1):
                    failures.append("%s: a block not run says why: <!-- not run: the reason -->" % where)
                    continue
                if not_run:
                    skipped += 1
                    print("skip %s: %s" % (where, not_run.group(1)))
                    continue
                if language in ("text", "csharp", "mermaid"):
                    continue
                if language not in runners:
                    failures.append("%s: no way to run this snippet; give it a language of %s, or say"
                                    " <!-- not run: why --> before it" % (where, ", ".join(sorted(runners))))
                    continue
                count += 1
                try:
                    with Simulator() as sim, tempfile.TemporaryDirectory() as scratch:
                        output = runners[language](code, sim.port, pathlib.Path(scratch), context)
                    missing = [text for text in promised_output(code) if text not in output]
                    if missing:
                        raise AssertionError("does not print %s; it printed:\n%s" % (missing, output))
                    print("ok   %s" % where, flush=True)
                except (AssertionError, subprocess.SubprocessError, RuntimeError) as error:
                    failures.append("%s: %s" % (where, error))
    for failure in failures:
        print("FAIL %s" % failure)
    print("%d snippets run, %d not run, %d failed" % (count, skipped, len(failures)))
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

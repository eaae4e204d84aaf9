"""The build backend of the gpiolink package: builds its wheel and sdist with
the standard library alone, so that pip installs it offline into any venv of
Python 3.8 or later with no setuptools and no wheel package.

pip calls the hooks below. A wheel built from the source alone is pure
Python (py3-none-any) and loads the system's library. The release builds the
wheels that carry the native library by passing two settings (with pip:
--config-settings, or directly to build_wheel):

    native-library   the file to put into the package: libgpiolink.so.0 or
                     gpiolink.dll
    platform         the wheel's platform tag: manylinux_2_NN_x86_64,
                     linux_x86_64 or win_amd64
    programs         (optional, with the other two) the programs gpioctl
                     and gpio-sim, their paths joined by ':', which the
                     wheel carries in gpiolink/bin/ and installs as commands
                     of the same names (gpiolink._programs runs them)

The version comes from the CMake project (project(gpiolink VERSION ...) in
the top-level CMakeLists.txt) in a source checkout, and from PKG-INFO in an
sdist. Archives are reproducible: entries sorted, their times taken from
SOURCE_DATE_EPOCH (or a fixed date), their modes fixed.
"""

import base64
import gzip
import hashlib
import io
import os
import pathlib
import re
import tarfile
import time
import zipfile

NAME = "gpiolink"
SUMMARY = "Drive a digital I/O controller on a serial port through the gpiolink library"
REQUIRES_PYTHON = ">=3.8"
# The project's home and its repository, the same in every package.
HOME_PAGE = "https://gpiolink.example/"
REPOSITORY = "https://gpiolink.example/gpiolink.git"
CLASSIFIERS = (
    "License :: OSI Approved :: MIT License",
    "Operating System :: Microsoft :: Windows",
    "Operating System :: POSIX :: Linux",
    "Programming Language :: Python :: 3",
)
HERE = pathlib.Path(__file__).resolve().parent.parent
# The package's files in a wheel or an sdist, beside the generated ones.
SDIST_FILES = ("pyproject.toml", "README.md", "build_backend/gpiolink_backend.py")
# Names the bundled library takes inside the package: the ones _native loads.
BUNDLED_NAMES = {"win_amd64": "gpiolink.dll"}
BUNDLED_DEFAULT = "libgpiolink.so.0"
# The programs a wheel may carry, each with the function of
# gpiolink._programs that its command calls.
PROGRAMS = {"gpioctl": "gpioctl", "gpio-sim": "gpio_sim"}
PROGRAMS_FOLDER = NAME + "/bin/"
# 1980-01-01, the earliest time a zip entry can hold.
ZIP_EPOCH = 315532800


def version():
    pkg_info = HERE / "PKG-INFO"
    if pkg_info.is_file():
        match = re.search(r"^Version: (\S+)$", pkg_info.read_text(encoding="utf-8"), re.M)
    else:
        cmake = (HERE.parent.parent / "CMakeLists.txt").read_text(encoding="utf-8")
        match = re.search(r"project\(\s*gpiolink\b[^)]*?\bVERSION\s+([0-9][0-9.]*)", cmake)
    if not match:
        raise RuntimeError("cannot find the version of gpiolink in PKG-INFO or ../../CMakeLists.txt")
    return match.group(1)


def _timestamp():
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", ZIP_EPOCH)), ZIP_EPOCH)


def _license():
    """LICENSE in an sdist, the project's in a source checkout."""
    for candidate in (HERE / "LICENSE", HERE.parent.parent / "LICENSE"):
        if candidate.is_file():
            return candidate.read_bytes()
    raise RuntimeError("no LICENSE beside the package or at the project's root")


def _metadata(ver):
    lines = ["Metadata-Version: 2.1", "Name: " + NAME, "Version: " + ver, "Summary: " + SUMMARY,
             "Home-page: " + HOME_PAGE, "Project-URL: Source, " + REPOSITORY,
             "License: MIT", "Requires-Python: " + REQUIRES_PYTHON]
    lines += ["Classifier: " + classifier for classifier in CLASSIFIERS]
    lines.append("Description-Content-Type: text/markdown")
    readme = (HERE / "README.md").read_text(encoding="utf-8")
    return ("\n".join(lines) + "\n\n" + readme).encode("utf-8")


def _package_files():
    """The package's modules, relative to the binding's folder, sorted."""
    return sorted(path.relative_to(HERE).as_posix() for path in (HERE / NAME).glob("*.py")
                  if path.name != "_version.py")


def _version_module(ver):
    return ('"""The version of this package, written when it was built."""\n\n'
            "version = %r\n" % ver).encode("utf-8")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _write_zip(path, entries):
    """entries: (name, bytes, executable) in the order to write them."""
    date_time = time.gmtime(_timestamp())[:6]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, executable in entries:
            info = zipfile.ZipInfo(name, date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.create_system = 3
            archive.writestr(info, data)


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _tag(config_settings):
    settings = config_settings or {}
    library = settings.get("native-library")
    platform = settings.get("platform")
    if bool(library) != bool(platform):
        raise ValueError("native-library and platform go together: give both or neither")
    if not library:
        return None, "py3-none-any"
    if not re.fullmatch(r"(manylinux_\d+_\d+|linux)_x86_64|win_amd64", platform):
        raise ValueError("unsupported platform tag %r" % platform)
    return pathlib.Path(library), "py3-none-" + platform


def _programs(config_settings):
    """The programs to carry, as (name, path), from the setting 'programs'."""
    settings = config_settings or {}
    given = settings.get("programs")
    if not given:
        return []
    if not settings.get("native-library"):
        raise ValueError("programs go into a wheel that carries the native library")
    programs = [pathlib.Path(path) for path in given.split(":")]
    for path in programs:
        if path.name not in PROGRAMS:
            raise ValueError("unknown program %r: a wheel carries %s" % (str(path), ", ".join(sorted(PROGRAMS))))
    return [(path.name, path) for path in programs]


def _entry_points(names):
    lines = ["[console_scripts]"] + ["%s = %s._programs:%s" % (name, NAME, PROGRAMS[name]) for name in sorted(names)]
    return ("\n".join(lines) + "\n").encode("ascii")


def _dist_info(ver, tag, files, programs=()):
    """The .dist-info entries for the package entries 'files', with the
    commands of the program names 'programs', RECORD last."""
    dist_info = "%s-%s.dist-info" % (NAME, ver)
    purelib = tag.endswith("-any")
    wheel = ("Wheel-Version: 1.0\nGenerator: gpiolink_backend\nRoot-Is-Purelib: %s\nTag: %s\n"
             % ("true" if purelib else "false", tag)).encode("ascii")
    entries = [(dist_info + "/METADATA", _metadata(ver), False),
               (dist_info + "/WHEEL", wheel, False),
               (dist_info + "/LICENSE", _license(), False)]
    if programs:
        entries.append((dist_info + "/entry_points.txt", _entry_points(programs), False))
    record = [_record_line(name, data) for name, data, _ in files + entries]
    record.append(dist_info + "/RECORD,,")
    return entries + [(dist_info + "/RECORD", ("\n".join(record) + "\n").encode("utf-8"), False)]


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    ver = version()
    library, tag = _tag(config_settings)
    programs = _programs(config_settings)
    files = [(name, (HERE / name).read_bytes(), False) for name in _package_files()]
    files.append((NAME + "/_version.py", _version_module(ver), False))
    if library is not None:
        platform = tag.split("-")[-1]
        bundled = BUNDLED_NAMES.get(platform, BUNDLED_DEFAULT)
        files.append((NAME + "/" + bundled, library.read_bytes(), platform != "win_amd64"))
    files += [(PROGRAMS_FOLDER + name, path.read_bytes(), True) for name, path in programs]
    files.sort()
    filename = "%s-%s-%s.whl" % (NAME, ver, tag)
    entries = files + _dist_info(ver, tag, files, [name for name, _ in programs])
    _write_zip(os.path.join(wheel_directory, filename), entries)
    return filename


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    ver = version()
    dist_info = pathlib.Path(metadata_directory) / ("%s-%s.dist-info" % (NAME, ver))
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_bytes(_metadata(ver))
    return dist_info.name


def build_sdist(sdist_directory, config_settings=None):
    ver = version()
    root = "%s-%s" % (NAME, ver)
    members = [(name, (HERE / name).read_bytes()) for name in SDIST_FILES]
    members += [("LICENSE", _license()), ("PKG-INFO", _metadata(ver))]
    members += [(name, (HERE / name).read_bytes()) for name in _package_files()]
    mtime = _timestamp()
    filename = root + ".tar.gz"
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, data in sorted(members):
            info = tarfile.TarInfo(root + "/" + name)
            info.size, info.mtime, info.mode = len(data), mtime, 0o644
            archive.addfile(info, io.BytesIO(data))
    with open(os.path.join(sdist_directory, filename), "wb") as raw:
        # No file name and a fixed time in the gzip header.
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=mtime) as compressed:
            compressed.write(buffer.getvalue())
    return filename

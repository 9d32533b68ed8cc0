"""Running the tavelkorn program for the algorithm: where it is, the checks
before it runs (the options by the program's own --check), its progress and
messages, cancellation."""
import os
import re
import shutil
import subprocess
import sys
import threading
from dataclasses import dataclass

from qgis.core import QgsProcessingException


@dataclass
class Run:
    source: str  # the name GDAL opens
    source_file: str  # the file it reads: a zip for /vsizip/..., else source
    band: int
    norm: int
    z_scale: float
    term: str
    direction: str
    stretch: str
    scales: str  # as the user wrote them: the program reads the list
    summary: bool
    type_: str
    output: str
    profile: str
    report: str


def program():
    """The program: the one named in the provider's setting or in
    TAVELKORN_PROGRAM, else a copy packed in the plugin, the install the
    plugin belongs to, then the PATH."""
    name = "tavelkorn.exe" if sys.platform == "win32" else "tavelkorn"
    # realpath: QGIS may load the plugin through a link (the Debian package's
    # in QGIS's plugin folder); the install it belongs to is where it lies.
    here = os.path.dirname(os.path.realpath(__file__))
    for where, named in (("Processing's option Providers > Tavelkorn", setting()),
                         ("TAVELKORN_PROGRAM", os.environ.get("TAVELKORN_PROGRAM", ""))):
        if named.strip():
            # the one the user asked for: running another would hide the mistake
            problem = cannot_run(named)
            if problem:
                raise QgsProcessingException("tavelkorn: %s (named by %s): %s" % (named, where, problem))
            return named
    packed = os.path.join(here, "bin", name)
    installed = os.path.normpath(os.path.join(here, "..", "..", "..", "..", "bin", name))
    for c in (packed, installed):
        if not cannot_run(c):
            return c
    found = shutil.which(name)
    if found:
        return found
    raise QgsProcessingException("tavelkorn: the program was not found; set its path in Processing's options "
                                 "(Providers > Tavelkorn), in TAVELKORN_PROGRAM, or put it on the PATH")


def setting():
    try:
        from processing.core.ProcessingConfig import ProcessingConfig
        return ProcessingConfig.getSetting("TAVELKORN_PROGRAM") or ""
    except Exception:  # outside Processing (a test)
        return ""


def cannot_run(path):
    """Why path is no program to run, or None."""
    if os.path.isdir(path):
        return "a folder, not the program"
    if not os.path.exists(path):
        return "no such file"
    if not os.access(path, os.X_OK):
        return "not executable"
    return None


def has_gdal(prog):
    try:
        out = subprocess.run([prog, "--help"], stdin=subprocess.DEVNULL, capture_output=True, text=True).stdout
    except OSError as e:
        raise QgsProcessingException("tavelkorn: %s cannot run: %s" % (prog, e.strerror or e))
    return "this build has no GDAL" not in out


# The program's flags in its messages, and the parameters they are here.
PARAMETERS = {"--stretch": "STRETCH", "--scale-summary": "SCALE_SUMMARY", "--scale": "SCALES", "--type": "TYPE"}


def refused(stretch, scales, summary, type_):
    """The program's word on these options, in the parameters' names, or
    None when they are valid (or no program runs: the run says why)."""
    try:
        args = [program(), "--check", *options(stretch, scales, summary, type_)]
        proc = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    except (QgsProcessingException, OSError):
        return None
    if proc.returncode == 0:
        return None
    said = [line for line in proc.stderr.splitlines() if line.startswith("tavelkorn:")]
    text = "\n".join(said) or "tavelkorn: the options are refused (status %d)" % proc.returncode
    return re.sub("|".join(PARAMETERS), lambda m: PARAMETERS[m.group(0)], text)


def options(stretch, scales, summary, type_):
    # --flag=value: a value is never taken for an option
    return ["--stretch=" + stretch, "--scale=" + scales, "--type", type_] + (["--scale-summary"] if summary else [])


def arguments(run, prog, source, output, extra=()):
    args = [prog, "--progress", "--band", str(run.band), "--norm", str(run.norm), "--z-scale", repr(run.z_scale),
            "--term", run.term, "--direction", run.direction,
            *options(run.stretch, run.scales, run.summary, run.type_), *extra]
    if run.profile:
        args += ["--profile", run.profile]
    if run.report:
        args += ["--report", run.report]
    return args + ["--", source, output]


def follow(args, feedback, quiet=(), said=str):
    """Runs args: GDAL-style progress on stderr to the feedback, the
    program's warnings to its log (but those holding a text of quiet), each
    message as said() tells it; cancelling terminates the program (which
    removes its temporary files). Raises with the program's message; returns
    its warnings."""
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines, errors = [], []

    def read():
        line = b""
        while True:
            c = proc.stderr.read(1)
            if not c:
                break
            line += c
            text = line.decode("utf-8", "replace")
            at = text.find("tavelkorn:")
            progress = text if at < 0 else text[:at]
            ticks = re.findall(r"\d+", progress)
            if ticks:
                feedback.setProgress(float(ticks[-1]))
            if c == b"\n":
                if at >= 0:
                    lines.append(text[at:].strip())
                line = b""

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    while proc.poll() is None:
        if feedback.isCanceled():
            proc.terminate()
            proc.wait()
            reader.join(5)
            proc.stderr.close()
            raise QgsProcessingException("Cancelled: tavelkorn stopped and removed its temporary files")
        reader.join(0.1)
    reader.join(5)
    proc.stderr.close()
    warnings = []
    for message in map(said, lines):
        if message.startswith("tavelkorn: warning:"):
            warnings.append(message)
            if not any(q in message for q in quiet):
                feedback.pushWarning(message)
        else:
            errors.append(message)
    if proc.returncode != 0:
        raise QgsProcessingException("\n".join(errors) or "tavelkorn failed with status %d" % proc.returncode)
    return warnings


def check_results(run):
    """Before anything runs: no result is the input, another result or a
    folder. The program checks its own, but without GDAL it sees only a
    converted copy of the DEM, and a layer's file is the provider's to say."""
    named = [(k, p) for k, p in (("OUTPUT", run.output), ("PROFILE", run.profile), ("REPORT", run.report)) if p]
    for i, (key, path) in enumerate(named):
        if os.path.isdir(path):
            raise QgsProcessingException("tavelkorn: %s: %s is a folder; name a file" % (key, path))
        if same_file(path, run.source_file):
            raise QgsProcessingException("tavelkorn: %s: %s is the input DEM's file; choose another name"
                                         % (key, path))
        for other_key, other in named[:i]:
            if same_file(path, other):
                raise QgsProcessingException("tavelkorn: %s and %s: both name %s" % (other_key, key, path))


def same_file(a, b):
    # realpath for names not yet written; samefile for hard links
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False

"""What pairfit-plot and pairfit-trend-plot share: the last-resort guard around a run,
loading matplotlib for files only, and writing a picture whole or not at all."""

import errno
import os
import stat
import sys
import tempfile

from .constants import EXIT_INTERNAL_ERROR


class PictureKept(Exception):
    """A picture the user made read-only, left as it is."""


def guarded(program, run, argv):
    """run(argv)'s status, with every unexpected exception turned into one message and
    EXIT_INTERNAL_ERROR: no input ever ends in a traceback."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        print(f"{program}: interrupted; pictures already in place are complete",
              file=sys.stderr)
        return EXIT_INTERNAL_ERROR
    except Exception as error:  # noqa: BLE001  (the last resort: no traceback for any input)
        print(f"{program}: internal error ({type(error).__name__}: {error}); pictures "
              "already in place are complete, the others keep their old content",
              file=sys.stderr)
        return EXIT_INTERNAL_ERROR


def load_pyplot():
    """matplotlib.pyplot on the Agg back end (files only, no display); ImportError when
    matplotlib cannot be loaded."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot
    return pyplot


def picture_problem(figure, path, shown, extension, dpi):
    """Writes PATH with write_picture; the message for the user when it was not written
    (SHOWN names it there), else None."""
    try:
        write_picture(figure, path, extension, dpi)
    except PictureKept:
        return (f"{shown}: kept as it is, not redrawn: its write permission is off; make it "
                f"writable (chmod u+w {shown}) or move it away to have it redrawn")
    except OSError as error:
        return (f"{shown}: could not be written ({error.strerror or error}); "
                "any older picture is kept")
    return None


def write_picture(figure, path, extension, dpi):
    """Replaces PATH whole or not at all: drawn into a temporary file beside it, renamed over
    it once complete. A link stays a link (the file it points to is replaced); a device such
    as /dev/null is written through; a file without its owner's write permission is kept."""
    target = os.path.realpath(path)
    try:
        status = os.stat(target)
    except FileNotFoundError:
        status = None
    if status is not None:
        if stat.S_ISDIR(status.st_mode):
            raise OSError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(status.st_mode):
            with open(target, "wb") as file:
                figure.savefig(file, format=extension, dpi=dpi)
            return
        # Root may write anything, so the mode bits, not os.access alone, carry the user's
        # "keep this".
        if not status.st_mode & stat.S_IWUSR or not os.access(target, os.W_OK):
            raise PictureKept(path)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.",
                                             suffix=".tmp", dir=os.path.dirname(target))
    try:
        with os.fdopen(descriptor, "wb") as file:
            figure.savefig(file, format=extension, dpi=dpi)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, stat.S_IMODE(status.st_mode) if status else 0o666 & ~current_umask())
        os.replace(temporary, target)
    except BaseException as error:
        try:
            os.remove(temporary)
        except OSError:
            pass
        if isinstance(error, Exception):
            raise write_error(error) from None
        raise


def write_error(error):
    """The OSError behind a failed write: a full disk can surface as the PNG encoder's own
    error (zlib's "inconsistent stream state") raised while handling it."""
    cause = error
    while cause is not None:
        if isinstance(cause, OSError) and cause.strerror:
            return cause
        cause = cause.__context__ or cause.__cause__
    return OSError(errno.EIO, f"{type(error).__name__}: {error}")


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask

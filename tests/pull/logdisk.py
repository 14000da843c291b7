# nbdkit plugin: serves a raw image file and keeps, in the order received,
# every write (with its data) and every flush in a log, so that each state a
# card could be left in when pulled out can be rebuilt afterwards.
#
#   nbdkit -i 127.0.0.1 python logdisk.py file=IMG log=LOG
#
# Log record: 1 byte kind (b"W" write, b"F" flush), 8 bytes offset, 4 bytes
# length (little-endian), then for a write its data. A record is written to
# the log before the request is acknowledged: when the client sees success
# the log holds it. Requests are served one at a time, so the log's order
# is the order the disk saw them.
import os
import struct

import nbdkit

API_VERSION = 2
HEADER = struct.Struct("<cQI")

image_path = None
log_path = None


def thread_model():
    return nbdkit.THREAD_MODEL_SERIALIZE_ALL_REQUESTS


def config(key, value):
    global image_path, log_path
    if key == "file":
        image_path = os.path.abspath(value)
    elif key == "log":
        log_path = os.path.abspath(value)
    else:
        raise RuntimeError("unknown parameter " + key)


def config_complete():
    if image_path is None or log_path is None:
        raise RuntimeError("file= and log= are required")


def open(readonly):
    image = os.open(image_path, os.O_RDONLY if readonly else os.O_RDWR)
    log = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    return {"image": image, "log": log}


def close(h):
    os.close(h["image"])
    os.close(h["log"])


def get_size(h):
    return os.fstat(h["image"]).st_size


def can_write(h):
    return True


def can_flush(h):
    return True


def can_trim(h):
    # A discard would change what a pulled card holds in a way the log
    # could not replay; without it the client writes or leaves blocks.
    return False


def can_zero(h):
    return False


def can_fua(h):
    # A write with FUA becomes a write then a flush, both logged.
    return nbdkit.FUA_EMULATE


def can_multi_conn(h):
    return False


def _log(h, record):
    # One write(2) per record: a record is never interleaved or half there.
    done = 0
    while done < len(record):
        done += os.write(h["log"], record[done:])


def pread(h, buf, offset, flags):
    view = memoryview(buf)
    done = 0
    while done < len(buf):
        got = os.preadv(h["image"], [view[done:]], offset + done)
        if got == 0:
            raise RuntimeError("read past the end of the image")
        done += got


def pwrite(h, buf, offset, flags):
    data = bytes(buf)
    done = 0
    while done < len(data):
        done += os.pwrite(h["image"], data[done:], offset + done)
    _log(h, HEADER.pack(b"W", offset, len(data)) + data)


def flush(h, flags):
    _log(h, HEADER.pack(b"F", 0, 0))

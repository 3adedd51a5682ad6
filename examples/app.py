"""A small process-oriented application on kavex_core.

It grows with the library: for now it describes a shared-memory buffer and
shows how the system's errors are caught.
"""

import kavex_core
from kavex_core import shm


def describe_frame_buffer() -> None:
    frame = shm.BufferDescriptor("camera-frames", 640 * 480 * 3, (480, 640, 3), "uint8")
    print("frame buffer:", frame)
    print("  reconstruct with shape", frame.shape, "and dtype", frame.dtype)


def main() -> None:
    print(kavex_core.__doc__)
    print("exports:", ", ".join(kavex_core.__all__))
    describe_frame_buffer()
    try:
        raise kavex_core.WriteTimeoutError("Transaction timed out after 12ms (limit 10ms)")
    except TimeoutError as err:
        print("caught as TimeoutError:", err)


if __name__ == "__main__":
    main()

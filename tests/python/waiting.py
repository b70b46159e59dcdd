"""Waiting for the virtual torso or the loop thread to catch up."""

import time


def eventually(condition, timeout=3.0):
    """True once `condition()` holds, polled until `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.005)
    return condition()

"""The interpreter survives what exhausts the extension's resources: memory
running out inside a call, and object chains deeper than the C stack."""

import os
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def run_child(code):
    """Runs `code` in a fresh interpreter; a crash shows as a negative return code."""
    done = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    return done.stdout.splitlines()


# The address space is capped a little above what the large bytes object
# needs, so that Python can build it but the extension's copy cannot be made.
@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime needs an uncapped address space")
def test_allocation_failure_in_every_kind_of_entry_point_is_memory_error():
    outcomes = run_child("""
        import resource
        import ferromesh

        big = 480 << 20
        with open("/proc/self/status") as status:
            in_use = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (in_use + big + (160 << 20),) * 2)
        data = bytes(big)
        octets = ferromesh.PropertyValueOctetString(b"")

        def setter():
            octets.value = data

        calls = [
            lambda: ferromesh.PropertyValueOctetString(data),
            setter,
            lambda: ferromesh.InputReceived(data, ferromesh.BacnetAddr("10.0.0.1", 47808)),
            lambda: ferromesh.decode_read_property(data),
            lambda: ferromesh.decode_read_property_multiple(data),
        ]
        for call in calls:
            try:
                call()
            except MemoryError:
                print("MemoryError")
            else:
                print("no-error")
        # Still usable afterwards.
        print(repr(ferromesh.PropertyValueOctetString(b"ok")))
    """)
    assert outcomes == ["MemoryError"] * 5 + ["PropertyValueOctetString([111, 107])"]


def test_freeing_a_chain_of_a_million_requests_does_not_exhaust_the_stack():
    outcomes = run_child("""
        import ferromesh

        oid = ferromesh.ObjectIdentifier(2, 1)
        head = ferromesh.PropertyValueNull()
        for _ in range(1_000_000):
            head = ferromesh.ServiceWriteProperty(oid, 85, head)
        del head
        print("freed")
    """)
    assert outcomes == ["freed"]

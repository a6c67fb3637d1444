"""The simulated device, except that it refuses ReadPropertyMultiple.

Run as ``python -P rpm_refusing_device.py --port N``; prints ``ready N``.
The device rejects every ReadPropertyMultiple with reason
unrecognized-service, as field controllers without the service do, and
serves everything else as the simulated device does.
"""

import argparse
import asyncio
import signal

from bacpypes3.errors import UnrecognizedService

from ferromesh.demo_device import _build_application


async def refuse(apdu: object) -> None:
    raise UnrecognizedService()


async def serve(port: int) -> None:
    app = _build_application(port)
    app.do_ReadPropertyMultipleRequest = refuse
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    print(f"ready {port}", flush=True)
    await stop.wait()
    app.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    asyncio.run(serve(parser.parse_args().port))

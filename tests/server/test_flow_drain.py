"""FlowControl.drain with ``stop``: a writer parked on a paused transport leaves when its own
condition holds and ``wake_writers`` is called; the others keep waiting."""

import asyncio

import pytest

from velmora.flow import FlowControl


class Transport:
    def pause_reading(self):
        pass

    def resume_reading(self):
        pass


@pytest.mark.parametrize("stop_true, returned", [(True, True), (False, False)])
def test_wake_writers_releases_only_stopped_writers(stop_true, returned):
    async def main():
        flow = FlowControl(Transport(), asyncio.get_running_loop())
        flow.pause_writing()
        stopped = False
        task = asyncio.ensure_future(flow.drain(stop=lambda: stopped))
        await asyncio.sleep(0)
        stopped = stop_true
        flow.wake_writers()
        await asyncio.sleep(0.01)
        done = task.done()
        flow.resume_writing()  # a resumed transport releases every writer
        await asyncio.wait_for(task, 1)
        return done

    assert asyncio.run(main()) is returned

"""Read the output of sensconv with UTC time axes, and draw a quick look of a session.

>>> import sensconv
>>> session = sensconv.open_session("demo/output/part_00")         # doctest: +SKIP
>>> session.frame(["accel", "accelY", "accelZ"])                    # doctest: +SKIP
>>> sensconv.quicklook("demo/output/part_00")                       # doctest: +SKIP
PosixPath('demo/output/part_00/quicklook.png')
"""

from .channels import Channel, ChannelInfo
from .errors import SessionError, SessionTimeWarning
from .session import Audio, Session, open_session


def quicklook(part_dir, output=None, **options):
    """Draws the session's quick look (see ``sensconv.look.quicklook``)."""
    from .look import quicklook as draw  # matplotlib only when drawing

    return draw(part_dir, output, **options)


__all__ = ["Audio", "Channel", "ChannelInfo", "Session", "SessionError", "SessionTimeWarning", "open_session",
           "quicklook"]

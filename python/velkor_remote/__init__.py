"""An arm served over Eclipse Zenoh, and the client that drives it from
another process or host with the shape of a local ``ServoLoop``.

    # next to the device:   velkor serve /dev/ttyACM0 --name arm1
    import velkor_remote
    loop = velkor_remote.connect("arm1")             # instead of api.ServoLoop(arm)
    handle = loop.add(api.Spring([0, 0, 0.2], 100.0))
    print(loop.state())
    loop.close()

The servo loop always runs next to the device; only effect changes and
states cross the network. ``velkor_remote.wire`` documents what is sent;
``velkor_remote.ros`` the ROS 2 messages published beside it.
"""

from .client import RemoteControlError, RemoteError, RemoteLoop, connect
from .config import DEFAULT_ENDPOINT, zenoh_config
from .server import ArmServer
from .wire import EFFECT_KINDS, VERSION, EffectKind, Field, Keys, WireError

__all__ = ["connect", "RemoteLoop", "RemoteError", "RemoteControlError", "ArmServer", "zenoh_config",
           "DEFAULT_ENDPOINT", "Keys", "EFFECT_KINDS", "EffectKind", "Field", "VERSION", "WireError"]

"""What crosses the network, version 2: key names, the binary state layout,
the CBOR messages, and the table of effect kinds.

Version 2 ties control to the session that took it: a client claims control
with a query whose reply (seen by that client alone) carries a random secret;
every effect message is then sealed, a CBOR body with an HMAC-SHA256 of it
under that secret and a sequence number that only grows. The secret itself
never crosses the network again, is never published and appears in no key.

The state goes out hundreds of times a second, so it is one fixed
little-endian layout (``STATE``) that unpacks in one call. Effect messages,
events and the arm's info are CBOR maps: self-describing, open to new keys
(a new effect kind, a new stats counter) without a new layout. Nothing is
ever pickled: a decoder takes only numbers, texts, booleans, lists and maps.
"""

import hashlib
import hmac
import math
import secrets
import struct
import zlib
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import cbor2

__all__ = [
    "VERSION", "STATE", "STATE_SIZE", "MAX_MESSAGE", "Keys", "Field", "EffectKind", "EFFECT_KINDS", "COMMON_FIELDS",
    "OPS", "WireError", "State", "pack_state", "unpack_state", "controller_tag", "encode", "decode",
    "check_effect_message", "effect_params", "kind_of", "new_secret", "seal", "open_sealed", "MAC_SIZE",
    "SECRET_SIZE", "NotSealedError", "MAX_EFFECTS", "check_client_id",
]

VERSION = 2
STATE_TYPE = 1

# version u8, type u8, flags u16, controller tag u32, sequence u64, cycle u64,
# loop time f64 (s), publish time f64 (s, the server's wall clock),
# position 3 f32 (m), velocity 3 f32 (m/s), force 3 f32 (N): 76 bytes.
STATE = struct.Struct("<BBHIQQdd9f")
STATE_SIZE = STATE.size

FLAG_HOLDING = 1 << 0      # the servo loop holds zero force (failures or a late cycle)
FLAG_CONTROLLED = 1 << 1   # some client has control
FLAG_RAMPING = 1 << 2      # effects of a departed controller are ramping out
FLAG_RUNNING = 1 << 3      # the servo loop runs

# Whatever arrives is refused past this size before it is decoded. Effect
# messages are a few hundred bytes; a mesh's triangles may one day need more.
MAX_MESSAGE = 64 * 1024
MAX_CLIENT_ID = 64
MAX_HANDLE = 2**31 - 1

OPS = ("add", "update", "remove", "clear", "keepalive")
# A controller's effects at most, and how many of its messages a second the
# server takes (a burst of MESSAGE_BURST above that rate is allowed).
MAX_EFFECTS = 64
MESSAGE_RATE = 2000.0
MESSAGE_BURST = 500.0
SECRET_SIZE = 32
MAC_SIZE = 16


class WireError(ValueError):
    """A message that does not follow the schema; the text says why."""


class Keys:
    """The key expressions of one served arm, all under ``velkor/NAME``."""

    def __init__(self, name: str) -> None:
        check_name(name)
        self.name = name
        base = f"velkor/{name}"
        self.state = f"{base}/state"
        self.info = f"{base}/info"
        self.effects = f"{base}/effects"
        self.events = f"{base}/events"
        self.server = f"{base}/server"            # liveliness token of the running server
        self.claim = f"{base}/claim"              # queryable: a client asks for control, the reply holds its secret
        self.control = f"{base}/control"          # liveliness tokens of clients claiming control: control/ID
        # ROS 2 topics as zenoh-bridge-ros2dds names them: the topic without its leading slash.
        self.joint_states = f"{base}/joint_states"
        self.pose = f"{base}/pose"
        self.force_command = f"{base}/force_command"

    def control_token(self, client_id: str) -> str:
        return f"{self.control}/{client_id}"


def check_name(name: str) -> None:
    """An arm's name is one key chunk: letters, digits, '_' and '-'."""
    if not isinstance(name, str) or not name or len(name) > 64 or not all(c.isalnum() or c in "_-" for c in name):
        raise ValueError(f"an arm's name is 1 to 64 letters, digits, '_' or '-', not {name!r}")


def controller_tag(client_id: Optional[str]) -> int:
    """The 32-bit tag a state carries for its controller (0: none)."""
    if not client_id:
        return 0
    return zlib.crc32(client_id.encode()) or 1


@dataclass(frozen=True)
class State:
    version: int
    flags: int
    controller_tag: int
    sequence: int
    cycle: int
    time: float
    stamp: float
    position: Tuple[float, float, float]
    velocity: Tuple[float, float, float]
    force: Tuple[float, float, float]

    @property
    def holding(self) -> bool:
        return bool(self.flags & FLAG_HOLDING)

    def as_dict(self) -> Dict[str, Any]:
        """The keys of ServoLoop.state(), then what only a served state has."""
        return {"position": list(self.position), "velocity": list(self.velocity), "force": list(self.force),
                "cycle": self.cycle, "time": self.time, "holding": self.holding,
                "sequence": self.sequence, "stamp": self.stamp, "controlled": bool(self.flags & FLAG_CONTROLLED),
                "ramping": bool(self.flags & FLAG_RAMPING), "running": bool(self.flags & FLAG_RUNNING)}


def pack_state(flags: int, tag: int, sequence: int, cycle: int, loop_time: float, stamp: float,
               position: Sequence[float], velocity: Sequence[float], force: Sequence[float]) -> bytes:
    return STATE.pack(VERSION, STATE_TYPE, flags, tag, sequence, cycle, loop_time, stamp,
                      *position, *velocity, *force)


def unpack_state(data: bytes) -> State:
    if len(data) != STATE_SIZE:
        raise WireError(f"a state is {STATE_SIZE} bytes, not {len(data)}")
    v = STATE.unpack(data)
    if v[0] != VERSION or v[1] != STATE_TYPE:
        raise WireError(f"state of version {v[0]} type {v[1]}; this end reads version {VERSION} type {STATE_TYPE}")
    return State(v[0], v[2], v[3], v[4], v[5], v[6], v[7], tuple(v[8:11]), tuple(v[11:14]), tuple(v[14:17]))


# --- Effect kinds: one row per kind the servo loop has. A new kind (a mesh)
# is one more row; fields carry how to check a value and whether the force is
# proportional to it.

@dataclass(frozen=True)
class Field:
    name: str
    type: str               # "vec3", "float", "bool", or "floats" (a flat list of numbers)
    scales: bool = False    # the effect's force is proportional to this value
    optional: bool = False  # the constructor has a default for it

    def check(self, value: Any) -> Any:
        """The value as the binding takes it, or WireError."""
        if self.type == "vec3":
            if not isinstance(value, (list, tuple)) or len(value) != 3:
                raise WireError(f"{self.name} must be a list of 3 numbers")
            return [_number(self.name, x) for x in value]
        if self.type == "float":
            return _number(self.name, value)
        if self.type == "bool":
            if not isinstance(value, bool):
                raise WireError(f"{self.name} must be true or false")
            return value
        if self.type == "floats":
            if not isinstance(value, (list, tuple)):
                raise WireError(f"{self.name} must be a list of numbers")
            return [_number(self.name, x) for x in value]
        raise WireError(f"{self.name}: unknown field type {self.type}")


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise WireError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise WireError(f"{name} must be finite")
    return number


@dataclass(frozen=True)
class EffectKind:
    name: str                    # the class name in VelkorHardwareAPI, and the "k" of a message
    fields: Tuple[Field, ...]    # constructor arguments and properties, by name

    def field(self, name: str) -> Optional[Field]:
        for f in self.fields + COMMON_FIELDS:
            if f.name == name:
                return f
        return None


# Properties any effect may have (a newer module adds them); sent and applied
# only where the effect object has them.
COMMON_FIELDS: Tuple[Field, ...] = (Field("enabled", "bool"), Field("gain", "float", scales=True))

EFFECT_KINDS: Dict[str, EffectKind] = {k.name: k for k in (
    EffectKind("Spring", (Field("anchor", "vec3"), Field("stiffness", "float", True),
                          Field("damping", "float", True, optional=True))),
    EffectKind("Damper", (Field("damping", "float", True),)),
    EffectKind("Plane", (Field("point", "vec3"), Field("normal", "vec3"), Field("stiffness", "float", True),
                         Field("damping", "float", True, optional=True))),
    EffectKind("Sphere", (Field("center", "vec3"), Field("radius", "float"), Field("stiffness", "float", True),
                          Field("inside", "bool", optional=True), Field("damping", "float", True, optional=True))),
    EffectKind("Box", (Field("min_corner", "vec3"), Field("max_corner", "vec3"), Field("stiffness", "float", True),
                       Field("damping", "float", True, optional=True))),
    EffectKind("ConstantForce", (Field("force", "vec3", True),)),
)}


def kind_of(effect: Any) -> EffectKind:
    name = type(effect).__name__
    kind = EFFECT_KINDS.get(name)
    if kind is None:
        raise TypeError(f"no remote form for {name} effects; known: {', '.join(EFFECT_KINDS)}")
    return kind


def effect_params(effect: Any) -> Dict[str, Any]:
    """An effect object's parameters by field name, ready to encode."""
    kind = kind_of(effect)
    params: Dict[str, Any] = {}
    for f in kind.fields + COMMON_FIELDS:
        if f in COMMON_FIELDS and not hasattr(effect, f.name):
            continue
        value = getattr(effect, f.name)
        params[f.name] = list(value) if isinstance(value, (list, tuple)) else value
    return params


def encode(message: Mapping[str, Any]) -> bytes:
    data: bytes = cbor2.dumps(dict(message, v=VERSION))
    return data


def decode(data: bytes) -> Dict[str, Any]:
    """A CBOR map of this version, or WireError. Refuses oversized input and
    anything but plain data (CBOR tags would build arbitrary objects)."""
    if len(data) > MAX_MESSAGE:
        raise WireError(f"message of {len(data)} bytes is over the limit of {MAX_MESSAGE}")
    _check_plain(data)
    try:
        message = cbor2.loads(data, tag_hook=_refuse_tag)
    except WireError:
        raise
    except Exception as e:
        raise WireError(f"not CBOR: {e}") from None
    if not isinstance(message, dict):
        raise WireError(f"a message is a CBOR map, not {type(message).__name__}")
    if message.get("v") != VERSION:
        raise WireError(f"message of version {message.get('v')!r}; this end reads version {VERSION}")
    return message


MAX_DEPTH = 8


def _check_plain(data: bytes) -> None:
    """Walks the CBOR items without building them: only numbers, texts,
    byte strings, booleans, null, lists and maps, nested at most MAX_DEPTH
    deep, and nothing after the one top item. A decoder would otherwise build
    dates, decimals or regular expressions from tags, or recurse without end."""
    pos, end = 0, len(data)
    pending = [1]  # items still to read at each open level
    while pending:
        if pending[-1] == 0:
            pending.pop()
            continue
        pending[-1] -= 1
        if pos >= end:
            raise WireError("not CBOR: the message ends inside an item")
        major, info = data[pos] >> 5, data[pos] & 0x1F
        pos += 1
        if info < 24:
            arg = info
        elif info <= 27:
            size = 1 << (info - 24)
            if pos + size > end:
                raise WireError("not CBOR: the message ends inside an item")
            arg = int.from_bytes(data[pos:pos + size], "big")
            pos += size
        else:
            raise WireError("not CBOR in the schema's form: indefinite lengths are not used")
        if major == 6:
            raise WireError(f"CBOR tag {arg} is not part of the schema")
        if major in (2, 3):
            pos += arg
            if pos > end:
                raise WireError("not CBOR: a string runs past the message")
        elif major in (4, 5):
            if len(pending) > MAX_DEPTH:
                raise WireError(f"nested deeper than {MAX_DEPTH} levels")
            count = arg * (2 if major == 5 else 1)
            if count > end - pos:
                raise WireError("not CBOR: more items than bytes")
            pending.append(count)
        elif major == 7 and info < 24 and arg not in (20, 21, 22):
            raise WireError(f"CBOR simple value {arg} is not part of the schema")
    if pos != end:
        raise WireError(f"{end - pos} bytes after the message")


def _refuse_tag(decoder: Any, tag: Any) -> Any:
    raise WireError(f"CBOR tag {getattr(tag, 'tag', '?')} is not part of the schema")


def new_secret() -> bytes:
    """A controller's capability: random, from the operating system."""
    return secrets.token_bytes(SECRET_SIZE)


def _mac(secret: bytes, body: bytes) -> bytes:
    return hmac.new(secret, body, hashlib.sha256).digest()[:MAC_SIZE]


def seal(message: Mapping[str, Any], secret: bytes) -> bytes:
    """The message as sent by a controller (or to it): {v, b: the encoded
    message, m: its HMAC under the controller's secret}."""
    body = encode(message)
    data: bytes = cbor2.dumps({"v": VERSION, "b": body, "m": _mac(secret, body)})
    return data


_SEAL_HEAD = bytes([0xA3, 0x61, ord("v"), VERSION, 0x61, ord("b")])
_SEAL_TAIL = bytes([0x61, ord("m"), 0x40 | MAC_SIZE])


def _sealed_parts(data: bytes) -> Tuple[bytes, bytes]:
    """The body and code of a sealed message, read in the one layout seal()
    writes, in a fixed number of steps whatever the size: anything else is
    refused before any walk over its bytes (a flood of big junk costs no more
    to refuse than a small one)."""
    if len(data) > MAX_MESSAGE:
        raise WireError(f"message of {len(data)} bytes is over the limit of {MAX_MESSAGE}")
    if not data.startswith(_SEAL_HEAD) or len(data) < len(_SEAL_HEAD) + 1:
        raise WireError("not a sealed message: b (bytes) and m (a 16-byte code) are needed")
    pos = len(_SEAL_HEAD)
    info = data[pos] & 0x1F
    if data[pos] >> 5 != 2 or info > 26:
        raise WireError("not a sealed message: b (bytes) and m (a 16-byte code) are needed")
    pos += 1
    if info < 24:
        size = info
    else:
        width = 1 << (info - 24)
        size = int.from_bytes(data[pos:pos + width], "big")
        pos += width
    end = pos + size
    if len(data) != end + len(_SEAL_TAIL) + MAC_SIZE or data[end:end + len(_SEAL_TAIL)] != _SEAL_TAIL:
        raise WireError("not a sealed message: b (bytes) and m (a 16-byte code) are needed")
    return data[pos:end], data[end + len(_SEAL_TAIL):]


def open_sealed(data: bytes, secret: Optional[bytes]) -> Dict[str, Any]:
    """The message inside a sealed one, if ``secret`` sealed it; WireError
    otherwise. The code is checked before the body is parsed."""
    body, mac = _sealed_parts(data)
    if secret is None or not hmac.compare_digest(_mac(secret, body), mac):
        raise NotSealedError("not sealed with the controller's secret")
    return decode(body)


class NotSealedError(WireError):
    """A well-formed message that the controller's secret did not seal."""


def check_effect_message(message: Dict[str, Any]) -> Dict[str, Any]:
    """Checks an effect message's shape and values; returns the checked
    parameters for add and update. Raises WireError with the reason."""
    op = message.get("op")
    if op not in OPS:
        raise WireError(f"unknown op {op!r}")
    check_client_id(message.get("c"))
    sequence = message.get("n")
    if isinstance(sequence, bool) or not isinstance(sequence, int) or not 0 < sequence < 2**63:
        raise WireError("the sequence number (n) must be a positive integer")
    if op in ("clear", "keepalive"):
        return {}
    handle = message.get("h")
    if isinstance(handle, bool) or not isinstance(handle, int) or not 0 < handle <= MAX_HANDLE:
        raise WireError(f"the handle (h) must be an integer from 1 to {MAX_HANDLE}")
    if op == "remove":
        return {}
    name = message.get("k")
    kind = EFFECT_KINDS.get(name) if isinstance(name, str) else None
    if kind is None:
        raise WireError(f"unknown effect kind {name!r}")
    params = message.get("p")
    if not isinstance(params, dict):
        raise WireError("the parameters (p) must be a map")
    checked: Dict[str, Any] = {}
    for key, value in params.items():
        f = kind.field(key) if isinstance(key, str) else None
        if f is None:
            raise WireError(f"{kind.name} has no parameter {key!r}")
        checked[key] = f.check(value)
    if op == "add":
        missing = [f.name for f in kind.fields if f.name not in checked and not f.optional]
        if missing:
            raise WireError(f"{kind.name} needs {', '.join(missing)}")
    return checked


def check_client_id(client: Any) -> str:
    if not isinstance(client, str) or not 0 < len(client) <= MAX_CLIENT_ID or not all(
            c.isalnum() or c in "_-" for c in client):
        raise WireError("the client id (c) must be 1 to 64 letters, digits, '_' or '-'")
    return client


def stats_for_wire(stats: Mapping[str, Any]) -> Dict[str, Any]:
    """Stats as plain CBOR values; whatever keys the loop reports pass through."""
    out: Dict[str, Any] = {}
    for key, value in stats.items():
        if isinstance(value, (bool, int, float, str)) or value is None:
            out[str(key)] = value
        elif isinstance(value, (list, tuple)):
            out[str(key)] = list(value)
        else:
            out[str(key)] = str(value)
    return out


def as_list(values: Sequence[float]) -> List[float]:
    return [float(x) for x in values]

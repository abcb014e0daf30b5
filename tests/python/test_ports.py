"""list_ports, detect_candidates and probe_port through the module, on fake
port trees."""

import pytest

import VelkorHardwareAPI as api
from emulator import PtyDevice
from fake_sysfs import FakeSysfs

ARM_INFO = bytes([0x0B, 0x34, 0x12, 4, 2, 5]) + bytes(range(16))


@pytest.fixture
def tree():
    t = FakeSysfs()
    yield t
    t.close()


def test_port_records_compare_hash_and_print_by_value(tree):
    tree.add_cdc_acm("ttyACM0", "16c0")
    tree.add_rfcomm("rfcomm0")
    first = api.list_ports(tree.sys_root, tree.dev_root)
    second = api.list_ports(sys_root=tree.sys_root, dev_root=tree.dev_root)
    assert [(p.name, p.kind, p.vendor) for p in first] == [
        (tree.dev_path("rfcomm0"), "bluetooth", None),
        (tree.dev_path("ttyACM0"), "usb_cdc", "16C0"),
    ]
    assert first == second and first[0] is not second[0]
    assert first[0] != first[1] and first[0] != "rfcomm0"
    assert len({*first, *second}) == 2
    assert repr(first[1]) == f"PortInfo(name={tree.dev_path('ttyACM0')!r}, kind='usb_cdc', vendor='16C0')"
    with pytest.raises(AttributeError):
        first[0].name = "x"


def test_an_unreadable_tree_raises_oserror_with_the_path(tree):
    with pytest.raises(FileNotFoundError) as raised:
        api.list_ports(tree.root + "/missing", tree.dev_root)
    assert raised.value.filename == tree.root + "/missing/class/tty"


@pytest.mark.parametrize("call", [
    lambda: api.detect_candidates("arm"),
    lambda: api.probe_port("toaster", "/dev/null"),
    lambda: api.probe_port("vorlan3", "/dev/null", 0.0),
    lambda: api.probe_port("vorlan3", "/dev/null", float("nan")),
    lambda: api.probe_port("vorlan3", "/dev/null", -1.0),
])
def test_bad_arguments_raise_valueerror_before_any_port_is_touched(call):
    with pytest.raises(ValueError):
        call()


def test_candidates_probed_one_by_one_give_the_detect_result(tree):
    arm = PtyDevice()
    try:
        tree.add_cdc_acm("ttyACM0", "16c0")
        tree.add_cdc_acm("ttyACM1", "2fe3")
        tree.add_usb_serial("ttyUSB0", "ch341", "1a86")
        tree.attach("ttyACM0", arm.path)
        arm.expect(1, ARM_INFO)
        assert api.detect_candidates("vorlan3", tree.sys_root, tree.dev_root) == [(tree.dev_path("ttyACM0"), True)]
        assert api.probe_port("vorlan3", tree.dev_path("ttyACM0"))
        assert arm.written() == b"\x0a"
        # Vendor 2FE3 makes only handles: reported unopened. The CH341 port has
        # no device behind its placeholder node.
        assert api.detect_candidates("handle", tree.sys_root, tree.dev_root) == [
            (tree.dev_path("ttyACM1"), False), (tree.dev_path("ttyUSB0"), True)]
        assert not api.probe_port("handle", tree.dev_path("ttyUSB0"))
        assert api.detect_candidates("wireless_handle", tree.sys_root, tree.dev_root) == []
    finally:
        arm.close()

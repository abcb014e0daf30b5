"""A sysfs tree and a /dev folder in a temporary folder, laid out the way the
kernel lays out terminals, for the discovery functions' sys_root and dev_root.

Every added terminal gets a placeholder dev node (an empty file) unless told
otherwise; ``attach`` makes it a symbolic link to a real line instead.
"""

import os
import shutil
import tempfile


class FakeSysfs:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="velkor-sysfs-")
        self.sys_root = os.path.join(self.root, "sys")
        self.dev_root = os.path.join(self.root, "dev")
        os.makedirs(os.path.join(self.sys_root, "class", "tty"))
        os.makedirs(self.dev_root)
        self._usb_ports = 0
        hub = self._hub()
        self._write(os.path.join(hub, "idVendor"), "1d6b\n")
        self._link(os.path.join(hub, "driver"), self._driver("usb", "usb"))

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def dev_path(self, name):
        return os.path.join(self.dev_root, name)

    def add_cdc_acm(self, name, vendor, dev_node=True):
        interface = self._usb_device(vendor)
        self._link(os.path.join(interface, "driver"), self._driver("usb", "cdc_acm"))
        self._tty(os.path.join(interface, "tty", name), interface, dev_node)

    def add_usb_serial(self, name, driver, vendor, dev_node=True):
        interface = self._usb_device(vendor)
        self._link(os.path.join(interface, "driver"), self._driver("usb", driver))
        port = os.path.join(interface, name)
        self._link(os.path.join(port, "driver"), self._driver("usb-serial", driver))
        self._tty(os.path.join(port, "tty", name), port, dev_node)

    def add_rfcomm(self, name, dev_node=True):
        self.add_virtual_tty(name, dev_node)

    def add_virtual_tty(self, name, dev_node=True):
        self._tty(os.path.join(self.sys_root, "devices", "virtual", "tty", name), None, dev_node)

    def attach(self, name, target):
        """Makes <dev>/<name> a symbolic link to the line at ``target``."""
        path = self.dev_path(name)
        if os.path.lexists(path):
            os.remove(path)
        os.symlink(target, path)

    def _hub(self):
        return os.path.join(self.sys_root, "devices", "pci0000:00", "0000:00:14.0", "usb1")

    def _usb_device(self, vendor):
        self._usb_ports += 1
        port = f"1-{self._usb_ports}"
        device = os.path.join(self._hub(), port)
        self._write(os.path.join(device, "idVendor"), vendor + "\n")
        self._write(os.path.join(device, "idProduct"), "0001\n")
        self._link(os.path.join(device, "driver"), self._driver("usb", "usb"))
        interface = os.path.join(device, port + ":1.0")
        os.makedirs(interface)
        return interface

    def _driver(self, bus, name):
        path = os.path.join(self.sys_root, "bus", bus, "drivers", name)
        os.makedirs(path, exist_ok=True)
        return path

    def _tty(self, tty_dir, device, dev_node):
        name = os.path.basename(tty_dir)
        self._write(os.path.join(tty_dir, "dev"), "166:0\n")
        if device is not None:
            self._link(os.path.join(tty_dir, "device"), device)
        self._link(os.path.join(self.sys_root, "class", "tty", name), tty_dir)
        if dev_node:
            self._write(self.dev_path(name), "")

    @staticmethod
    def _write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    @staticmethod
    def _link(link, target):
        # sysfs links are relative, which keeps the tree valid wherever it lives.
        if os.path.islink(link):
            return
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(os.path.relpath(target, os.path.dirname(link)), link)

# The check the package scripts make before they ask udev to reload (pasted into postinst and postrm).
# True where a udev daemon serves this very system: not in a chroot, an image build or a container without udev.
udev_here() {
    command -v udevadm >/dev/null 2>&1 && [ -S /run/udev/control ] &&
        [ "$(stat -c %d:%i / 2>/dev/null)" = "$(stat -c %d:%i /proc/1/root/. 2>/dev/null)" ]
}

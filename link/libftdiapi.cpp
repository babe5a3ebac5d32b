// The real libftdi1 behind LibFtdiApi (compiled in when CMake found libftdi1 with pkg-config).
#include "link/libftdidriver.h"

#ifdef ZR_HAVE_LIBFTDI
#include <ftdi.h>
#include <libusb.h>

namespace {
// Strings longer than the device record keeps are cut by the caller.
constexpr int kStringSize = 128;

ftdi_context *ctx(void *context)
{
    return static_cast<ftdi_context *>(context);
}

class RealLibFtdi : public LibFtdiApi
{
public:
    bool list(QList<Device> *devices, QString *error) override
    {
        ftdi_context *c = ftdi_new();
        if (!c) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        ftdi_device_list *found = nullptr;
        // Vendor and product 0: every FTDI vendor/product pair libftdi knows.
        const int count = ftdi_usb_find_all(c, &found, 0, 0);
        if (count < 0) {
            *error = QString::fromLatin1(ftdi_get_error_string(c));
            ftdi_free(c);
            return false;
        }
        QStringList unreadable;
        for (ftdi_device_list *d = found; d; d = d->next) {
            char description[kStringSize] = {};
            char serial[kStringSize] = {};
            Device device;
            device.bus = libusb_get_bus_number(d->dev);
            device.address = libusb_get_device_address(d->dev);
            // Reading the strings opens the device: without the udev rule only root may.
            if (ftdi_usb_get_strings2(c, d->dev, nullptr, 0, description, kStringSize, serial, kStringSize) < 0) {
                unreadable << QStringLiteral("bus %1 device %2").arg(device.bus).arg(device.address);
                continue;
            }
            device.description = description;
            device.serialNumber = serial;
            devices->append(device);
        }
        ftdi_list_free(&found);
        ftdi_free(c);
        if (devices->isEmpty() && !unreadable.isEmpty()) {
            *error = QStringLiteral("%1: permission denied \u2014 install the udev rules (60-zrflasher.rules) and "
                                    "add yourself to the plugdev group")
                             .arg(unreadable.join(QStringLiteral(", ")));
            return false;
        }
        return true;
    }

    void *open(quint8 bus, quint8 address, QString *error) override
    {
        ftdi_context *c = ftdi_new();
        if (!c) {
            *error = QStringLiteral("out of memory");
            return nullptr;
        }
        // The kernel's ftdi_sio lets go of the cable while we hold it and gets it back on close.
        c->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        if (ftdi_usb_open_bus_addr(c, bus, address) < 0) {
            *error = QString::fromLatin1(ftdi_get_error_string(c));
            ftdi_free(c);
            return nullptr;
        }
        return c;
    }

    void close(void *context) override
    {
        ftdi_usb_close(ctx(context));
        ftdi_free(ctx(context));
    }

    int reset(void *context) override { return ftdi_usb_reset(ctx(context)); }
    int setBaudRate(void *context, int baud) override { return ftdi_set_baudrate(ctx(context), baud); }
    int setLineProperty(void *context, int bits, int stopBits, int parity, bool breakOn) override
    {
        return ftdi_set_line_property2(ctx(context), ftdi_bits_type(bits), ftdi_stopbits_type(stopBits),
                                       ftdi_parity_type(parity), breakOn ? BREAK_ON : BREAK_OFF);
    }
    int setFlowControl(void *context, int mode) override { return ftdi_setflowctrl(ctx(context), mode); }
    int setLatencyTimer(void *context, quint8 ms) override { return ftdi_set_latency_timer(ctx(context), ms); }
    int getLatencyTimer(void *context, quint8 *ms) override { return ftdi_get_latency_timer(ctx(context), ms); }
    int purge(void *context, bool receive, bool transmit) override
    {
        int result = 0;
        if (receive)
            result = ftdi_tciflush(ctx(context));
        if (transmit && result >= 0)
            result = ftdi_tcoflush(ctx(context));
        return result;
    }
    int setRts(void *context, bool on) override { return ftdi_setrts(ctx(context), on ? 1 : 0); }
    int write(void *context, const quint8 *bytes, int size) override
    {
        return ftdi_write_data(ctx(context), bytes, size);
    }
    int read(void *context, quint8 *bytes, int size) override { return ftdi_read_data(ctx(context), bytes, size); }
};
} // namespace

std::unique_ptr<LibFtdiApi> makeLibFtdiApi()
{
    return std::make_unique<RealLibFtdi>();
}
#else
std::unique_ptr<LibFtdiApi> makeLibFtdiApi()
{
    return nullptr;
}
#endif

// The FT232R emulator's USB plumbing: a device in umockdev's sysfs and /dev, the usbdevfs calls on its node, URBs and
// the interface claim that belong to the open file that made them, and the chip's clock for its bulk IN packets.
// GLib first: one of its structures has a member named like a Qt keyword ("signals").
#include <umockdev.h>

#include "tests/support/ft232remulator.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/simulatedbus.h"

namespace {
// Below the latency timer, how often the chip looks at what the line has delivered.
constexpr qint64 kTickUs = 250;
constexpr int kSetupSize = 8;

qint64 nowUs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The chip's threads keep the pace of the line on a busy machine: a real-time class where allowed, else a
// higher priority, else as they are.
void raisePriority()
{
    sched_param param{};
    param.sched_priority = 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        setpriority(PRIO_PROCESS, 0, -10);
}
} // namespace

struct Ft232rEmulator::State
{
    struct Urb
    {
        UMockdevIoctlClient *client = nullptr;
        UMockdevIoctlData *urb = nullptr;    // the client's usbdevfs_urb
        UMockdevIoctlData *buffer = nullptr; // its buffer
        quint8 type = 0, endpoint = 0;
        int bufferLength = 0;
        bool done = false;
        int status = 0;
        QByteArray result; // IN data (for control: after the setup packet)
        int actualLength = 0;
    };

    SimulatedBus *bus = nullptr;
    std::unique_ptr<Ft232rChip> chip;
    QString devnode;
    QByteArray sysPath; // the chip's device in the testbed's sysfs
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    int pollFifo = -1;
    bool pollFifoFull = false;

    // A standard mutex, not a QMutex: ThreadSanitizer sees what it orders (Qt's own library is not instrumented).
    mutable std::mutex mutex;
    QList<Urb *> urbs; // in the order submitted
    UMockdevIoctlClient *claimedBy = nullptr;
    bool workerRaised = false;

    std::atomic<bool> stop{false};
    std::thread clock; // the chip's own: its bulk IN packets

    ~State()
    {
        for (Urb *u : qAsConst(urbs))
            release(u);
    }

    static void release(Urb *u)
    {
        if (u->buffer)
            g_object_unref(u->buffer);
        if (u->urb)
            g_object_unref(u->urb);
        delete u;
    }

    // libusb sleeps in poll() until the device node is writable, which usbdevfs makes it exactly while a URB can
    // be reaped. The node is a one-page FIFO: full (one byte in it) while nothing can be reaped, empty otherwise.
    void signalReapable()
    {
        bool reapable = false;
        for (const Urb *u : qAsConst(urbs))
            reapable = reapable || u->done;
        char byte = 0;
        if (reapable && pollFifoFull)
            pollFifoFull = ::read(pollFifo, &byte, 1) != 1;
        else if (!reapable && !pollFifoFull)
            pollFifoFull = ::write(pollFifo, &byte, 1) == 1;
    }

    // Completes the oldest bulk IN URB when the chip sends its packets.
    void serviceIn()
    {
        for (Urb *u : qAsConst(urbs)) {
            if (u->done || u->endpoint != Ft232rChip::kEndpointIn)
                continue;
            if (chip->inTransfer(u->bufferLength, nowUs(), &u->result)) {
                u->actualLength = u->result.size();
                u->done = true;
                signalReapable();
            }
            return;
        }
    }

    void chipLoop()
    {
        raisePriority();
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (!stop) {
            next.tv_nsec += kTickUs * 1000;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            std::unique_lock<std::mutex> lock(mutex);
            serviceIn();
        }
    }

    // Carries out a URB that needs no waiting (control, bulk OUT); bulk IN waits for the chip's packets.
    void start(Urb *u)
    {
        const quint8 *buffer = u->buffer ? u->buffer->data : nullptr;
        if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (u->bufferLength < kSetupSize) {
                u->status = -EPIPE;
            } else {
                const quint8 requestType = buffer[0], request = buffer[1];
                const quint16 value = quint16(buffer[2] | buffer[3] << 8), index = quint16(buffer[4] | buffer[5] << 8);
                const int length = buffer[6] | buffer[7] << 8;
                QByteArray in;
                const bool taken = chip->controlRequest(requestType, request, value, index, &in);
                if (!taken) {
                    u->status = -EPIPE; // the chip stalls what it does not know
                } else if (requestType & 0x80) {
                    u->result = in.left(qMin(length, u->bufferLength - kSetupSize));
                    u->actualLength = u->result.size();
                } else {
                    u->actualLength = length;
                }
            }
            u->done = true;
        } else if (u->endpoint == Ft232rChip::kEndpointOut) {
            chip->send(buffer, u->bufferLength);
            u->actualLength = u->bufferLength;
            u->done = true;
        } else if (u->endpoint != Ft232rChip::kEndpointIn) {
            u->status = -ENOENT; // no such endpoint
            u->done = true;
        }
    }

    // usbdevfs on the device node, per open file (client); runs on umockdev's worker thread.
    void ioctl(UMockdevIoctlClient *client)
    {
        if (!workerRaised) {
            raisePriority();
            workerRaised = true;
        }
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        long result = 0;
        int error = 0;
        auto fail = [&](int e) {
            result = -1;
            error = e;
        };
        auto resolve = [&](gsize size) { return umockdev_ioctl_data_resolve(arg, 0, size, nullptr); };
        std::unique_lock<std::mutex> lock(mutex);
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            if (UMockdevIoctlData *caps = resolve(sizeof(quint32))) {
                *reinterpret_cast<quint32 *>(caps->data) = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                g_object_unref(caps);
            } else {
                fail(EFAULT);
            }
            break;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_RELEASEINTERFACE: {
            // Both structures start with the interface number.
            UMockdevIoctlData *number = resolve(request == USBDEVFS_DISCONNECT_CLAIM ? sizeof(usbdevfs_disconnect_claim)
                                                                                    : sizeof(unsigned int));
            const unsigned int interface = number ? *reinterpret_cast<unsigned int *>(number->data) : ~0u;
            if (number)
                g_object_unref(number);
            if (interface != 0)
                fail(EINVAL);
            else if (request == USBDEVFS_RELEASEINTERFACE)
                claimedBy == client ? void(claimedBy = nullptr) : fail(EINVAL);
            else if (claimedBy && claimedBy != client)
                fail(EBUSY); // another open file holds the cable
            else
                claimedBy = client;
            break;
        }
        case USBDEVFS_GETDRIVER:
            fail(ENODATA); // no kernel driver bound
            break;
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData *command = resolve(sizeof(usbdevfs_ioctl));
            const int code = command ? reinterpret_cast<usbdevfs_ioctl *>(command->data)->ioctl_code : -1;
            if (command)
                g_object_unref(command);
            if (code == int(USBDEVFS_DISCONNECT) || code == int(USBDEVFS_CONNECT))
                fail(ENODATA);
            else
                fail(ENOTTY);
            break;
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            break;
        case USBDEVFS_CONTROL:
            control(arg, &result, &error);
            break;
        case USBDEVFS_SUBMITURB:
            submit(client, arg, &result, &error);
            break;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg, &result, &error);
            break;
        case USBDEVFS_DISCARDURB: {
            const gulong address = *reinterpret_cast<gulong *>(arg->data);
            fail(EINVAL);
            for (Urb *u : qAsConst(urbs)) {
                if (u->client == client && u->urb->client_addr == address && !u->done) {
                    u->done = true;
                    u->status = -ENOENT;
                    u->result.clear();
                    u->actualLength = 0;
                    result = error = 0;
                }
            }
            signalReapable();
            break;
        }
        default:
            fail(ENOTTY);
        }
        lock.unlock();
        umockdev_ioctl_client_complete(client, result, error);
    }

    // A request on endpoint 0 made synchronously; the result is the length of the data stage.
    void control(UMockdevIoctlData *arg, long *result, int *error)
    {
        UMockdevIoctlData *transfer = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ctrltransfer), nullptr);
        if (!transfer) {
            *result = -1;
            *error = EFAULT;
            return;
        }
        const auto *c = reinterpret_cast<const usbdevfs_ctrltransfer *>(transfer->data);
        QByteArray in;
        const bool taken = chip->controlRequest(c->bRequestType, c->bRequest, c->wValue, c->wIndex, &in);
        *result = c->wLength;
        if (!taken) {
            *result = -1;
            *error = EPIPE;
        } else if ((c->bRequestType & 0x80) && c->wLength > 0) {
            in = in.left(c->wLength);
            UMockdevIoctlData *data = umockdev_ioctl_data_resolve(transfer, offsetof(usbdevfs_ctrltransfer, data),
                                                                  c->wLength, nullptr);
            if (data) {
                memcpy(data->data, in.constData(), size_t(in.size()));
                g_object_unref(data);
            }
            *result = in.size();
        }
        g_object_unref(transfer);
    }

    void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg, long *result, int *error)
    {
        UMockdevIoctlData *urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!urbData) {
            *result = -1;
            *error = EFAULT;
            return;
        }
        const auto *urb = reinterpret_cast<const usbdevfs_urb *>(urbData->data);
        auto *u = new Urb;
        u->client = client;
        u->urb = urbData;
        u->type = urb->type;
        u->endpoint = urb->endpoint;
        u->bufferLength = urb->buffer_length;
        if (u->bufferLength > 0)
            u->buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), gsize(u->bufferLength),
                                                    nullptr);
        const bool bulk = u->type == USBDEVFS_URB_TYPE_BULK;
        if ((u->type != USBDEVFS_URB_TYPE_CONTROL && !bulk) || (u->bufferLength > 0 && !u->buffer)) {
            *result = -1;
            *error = EINVAL;
            release(u);
            return;
        }
        // The data endpoints belong to the file that claimed the interface (usbdevfs claims it for a file that
        // did not, unless another holds it).
        if (bulk && claimedBy && claimedBy != client) {
            *result = -1;
            *error = EBUSY;
            release(u);
            return;
        }
        if (bulk)
            claimedBy = client;
        urbs << u;
        start(u);
        signalReapable();
    }

    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, long *result, int *error)
    {
        Urb *u = nullptr;
        for (Urb *candidate : qAsConst(urbs))
            if (!u && candidate->client == client && candidate->done)
                u = candidate;
        if (!u) {
            *result = -1;
            *error = EAGAIN;
            return;
        }
        urbs.removeOne(u);
        auto *urb = reinterpret_cast<usbdevfs_urb *>(u->urb->data);
        urb->status = u->status;
        urb->actual_length = u->actualLength;
        if (!u->result.isEmpty() && u->buffer) {
            const int at = u->type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0;
            memcpy(u->buffer->data + at, u->result.constData(), size_t(qMin(u->result.size(), u->bufferLength - at)));
        }
        // The reap hands back the URB's address; the URB and its buffer go back to the client with it.
        UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        if (pointer) {
            umockdev_ioctl_data_set_ptr(pointer, 0, u->urb);
            g_object_unref(pointer);
        } else {
            *result = -1;
            *error = EFAULT;
        }
        release(u);
        signalReapable();
    }

    // The open file went away: its claim and its URBs go with it.
    void vanished(UMockdevIoctlClient *client)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (claimedBy == client)
            claimedBy = nullptr;
        for (int i = urbs.size() - 1; i >= 0; --i)
            if (urbs.at(i)->client == client)
                release(urbs.takeAt(i));
        signalReapable();
    }
};

namespace {
gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer state)
{
    static_cast<Ft232rEmulator::State *>(state)->ioctl(client);
    return TRUE;
}

void onConnectedChanged(GObject *client, GParamSpec *, gpointer state)
{
    auto *c = reinterpret_cast<UMockdevIoctlClient *>(client);
    if (!umockdev_ioctl_client_get_connected(c))
        static_cast<Ft232rEmulator::State *>(state)->vanished(c);
}

void onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer state)
{
    g_signal_connect(client, "notify::connected", G_CALLBACK(onConnectedChanged), state);
}
} // namespace

namespace {
// One testbed for all the chips plugged in at a time: the preload library follows one ($UMOCKDEV_DIR), so a
// second testbed would hide the first one's devices. Made by the first chip, gone with the last.
UMockdevTestbed *sharedTestbed()
{
    static UMockdevTestbed *testbed = nullptr; // cleared by GLib when the last reference goes
    if (testbed)
        return UMOCKDEV_TESTBED(g_object_ref(testbed));
    testbed = umockdev_testbed_new();
    g_object_add_weak_pointer(G_OBJECT(testbed), reinterpret_cast<gpointer *>(&testbed));
    return testbed;
}
} // namespace

bool Ft232rEmulator::preloadActive()
{
    return qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("libumockdev-preload"));
}

Ft232rEmulator::Ft232rEmulator(SimulatedBus *bus, const Identity &identity)
    : d(std::make_unique<State>())
{
    if (!preloadActive()) {
        m_error = QStringLiteral("not running under umockdev's preload library (umockdev-wrapper)");
        return;
    }
    d->bus = bus;
    d->chip = std::make_unique<Ft232rChip>(bus, identity);
    if (!d->chip->lineOpen()) {
        m_error = QStringLiteral("the simulated line cannot be opened");
        return;
    }

    d->testbed = sharedTestbed();
    const QString bus3 = QStringLiteral("%1").arg(identity.busNumber, 3, 10, QLatin1Char('0'));
    const QString address3 = QStringLiteral("%1").arg(identity.address, 3, 10, QLatin1Char('0'));
    d->devnode = QStringLiteral("/dev/bus/usb/%1/%2").arg(bus3, address3);
    const QByteArray descriptors = d->chip->descriptors();
    // sysfs as the kernel shows a full-speed device; libusb reads the descriptors and the configuration from it.
    const QString description =
            QStringLiteral("P: /devices/pci0000:00/0000:00:14.0/usb%1/%1-1\n"
                           "N: bus/usb/%2/%3\n"
                           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=%4\n"
                           "E: PRODUCT=403/6001/600\nE: TYPE=0/0/0\nE: BUSNUM=%2\nE: DEVNUM=%3\n"
                           "E: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6001\n"
                           "A: busnum=%1\nA: devnum=%5\nA: speed=12\nA: idVendor=0403\nA: idProduct=6001\n"
                           "A: bcdDevice=0600\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                           "A: bNumInterfaces= 1\nA: bDeviceClass=00\nA: bMaxPacketSize0=8\nA: maxchild=0\n"
                           "A: manufacturer=%6\nA: product=%7\nA: serial=%8\n"
                           "H: descriptors=%9\n")
                    .arg(identity.busNumber)
                    .arg(bus3, address3, d->devnode)
                    .arg(identity.address)
                    .arg(QString::fromLatin1(identity.manufacturer), QString::fromLatin1(identity.product),
                         QString::fromLatin1(identity.serial), QString::fromLatin1(descriptors.toHex()));
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(d->testbed, description.toUtf8().constData(), &error)) {
        m_error = QString::fromUtf8(error->message);
        g_error_free(error);
        return;
    }
    // As the kernel writes them, with a newline (libusb warns otherwise).
    d->sysPath = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb%1/%1-1").arg(identity.busNumber).toLatin1();
    const QByteArray &sysPath = d->sysPath;
    umockdev_testbed_set_attribute(d->testbed, sysPath.constData(), "busnum",
                                   QByteArray::number(identity.busNumber).append('\n').constData());
    umockdev_testbed_set_attribute(d->testbed, sysPath.constData(), "devnum",
                                   QByteArray::number(identity.address).append('\n').constData());
    umockdev_testbed_set_attribute(d->testbed, sysPath.constData(), "speed", "12\n");
    // umockdev's device node is a regular file, always writable: libusb would poll it without ever sleeping.
    gchar *root = umockdev_testbed_get_root_dir(d->testbed);
    const QByteArray node = QByteArray(root) + d->devnode.toLatin1();
    g_free(root);
    if (::unlink(node.constData()) != 0 || ::mkfifo(node.constData(), 0666) != 0
        || (d->pollFifo = ::open(node.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        m_error = QStringLiteral("%1: %2").arg(QString::fromLatin1(node), QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    fcntl(d->pollFifo, F_SETPIPE_SZ, 4096);
    d->signalReapable();

    d->handler = umockdev_ioctl_base_new();
    g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(onIoctl), d.get());
    g_signal_connect(d->handler, "client-connected", G_CALLBACK(onClientConnected), d.get());
    if (!umockdev_testbed_attach_ioctl(d->testbed, d->devnode.toLatin1().constData(), d->handler, &error)) {
        m_error = QString::fromUtf8(error->message);
        g_error_free(error);
        return;
    }
    d->clock = std::thread([this] { d->chipLoop(); });
}

Ft232rEmulator::~Ft232rEmulator()
{
    d->stop = true;
    if (d->clock.joinable())
        d->clock.join();
    if (d->testbed && d->handler)
        umockdev_testbed_detach_ioctl(d->testbed, d->devnode.toLatin1().constData(), nullptr);
    if (d->handler)
        g_object_unref(d->handler);
    if (d->testbed) {
        // Unplugged: the other chips of the testbed stay.
        if (!d->sysPath.isEmpty())
            umockdev_testbed_remove_device(d->testbed, d->sysPath.constData());
        g_object_unref(d->testbed);
    }
    if (d->pollFifo >= 0)
        ::close(d->pollFifo);
}

void Ft232rEmulator::withBus(const std::function<void(SimulatedBus &)> &use)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    use(*d->bus);
}

QList<Ft232rEmulator::VendorRequest> Ft232rEmulator::vendorRequests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->chip->requests;
}

void Ft232rEmulator::clearRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->chip->requests.clear();
}

quint32 Ft232rEmulator::baudRate() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->chip->baud;
}

quint16 Ft232rEmulator::lineProperties() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->chip->lineProperties;
}

quint8 Ft232rEmulator::latencyMs() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->chip->latencyMs;
}

bool Ft232rEmulator::rts() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->chip->rts;
}

int Ft232rEmulator::claims() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->claimedBy ? 1 : 0;
}

int Ft232rEmulator::urbsInFlight() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->urbs.size();
}

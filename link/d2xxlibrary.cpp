// Run-time binding of the documented D2XX functions; every call fails cleanly when the library is missing.
#include "link/d2xxlibrary.h"

#include <type_traits>

#include "core/logcategories.h"

#ifdef Q_OS_WIN
#define ZR_D2XX_CALL __stdcall // WINAPI
#else
#define ZR_D2XX_CALL
#endif

namespace {
// Our own declarations of the library's documented signatures. DWORD, ULONG and FT_STATUS are 32 bits wide on
// every platform the library exists for; FT_HANDLE is a pointer; UCHAR and USHORT are 8 and 16 bits.
using FtHandle = void *;
using FtStatus = quint32;
constexpr quint32 FT_OPEN_BY_SERIAL_NUMBER = 1;

extern "C" {
typedef FtStatus(ZR_D2XX_CALL *CreateDeviceInfoListFn)(quint32 *);
typedef FtStatus(ZR_D2XX_CALL *GetDeviceInfoDetailFn)(quint32, quint32 *, quint32 *, quint32 *, quint32 *, void *,
                                                      void *, FtHandle *);
typedef FtStatus(ZR_D2XX_CALL *OpenExFn)(void *, quint32, FtHandle *);
typedef FtStatus(ZR_D2XX_CALL *HandleFn)(FtHandle);
typedef FtStatus(ZR_D2XX_CALL *HandleU32Fn)(FtHandle, quint32);
typedef FtStatus(ZR_D2XX_CALL *HandleU32U32Fn)(FtHandle, quint32, quint32);
typedef FtStatus(ZR_D2XX_CALL *DataCharacteristicsFn)(FtHandle, quint8, quint8, quint8);
typedef FtStatus(ZR_D2XX_CALL *FlowControlFn)(FtHandle, quint16, quint8, quint8);
typedef FtStatus(ZR_D2XX_CALL *SetLatencyFn)(FtHandle, quint8);
typedef FtStatus(ZR_D2XX_CALL *GetLatencyFn)(FtHandle, quint8 *);
typedef FtStatus(ZR_D2XX_CALL *ReadWriteFn)(FtHandle, void *, quint32, quint32 *);
}
} // namespace

struct D2xxLibrary::Functions
{
    CreateDeviceInfoListFn createDeviceInfoList = nullptr;
    GetDeviceInfoDetailFn getDeviceInfoDetail = nullptr;
    OpenExFn openEx = nullptr;
    HandleFn resetDevice = nullptr, setRts = nullptr, clrRts = nullptr, setBreakOn = nullptr, setBreakOff = nullptr,
             close = nullptr;
    HandleU32Fn setBaudRate = nullptr, purge = nullptr;
    HandleU32U32Fn setTimeouts = nullptr;
    DataCharacteristicsFn setDataCharacteristics = nullptr;
    FlowControlFn setFlowControl = nullptr;
    SetLatencyFn setLatencyTimer = nullptr;
    GetLatencyFn getLatencyTimer = nullptr;
    ReadWriteFn write = nullptr, read = nullptr;
};

D2xxLibrary::D2xxLibrary()
    : m_library(QStringLiteral("ftd2xx"))
    , m_fn(new Functions)
{
    if (!m_library.load()) {
        qCDebug(zrLink).noquote() << "D2XX library not loaded:" << m_library.errorString();
        return;
    }
    m_found = true;
    bool all = true;
    auto resolve = [&](auto &target, const char *name) {
        target = reinterpret_cast<std::remove_reference_t<decltype(target)>>(m_library.resolve(name));
        if (!target) {
            qCDebug(zrLink) << "D2XX function missing:" << name;
            all = false;
        }
    };
    resolve(m_fn->createDeviceInfoList, "FT_CreateDeviceInfoList");
    resolve(m_fn->getDeviceInfoDetail, "FT_GetDeviceInfoDetail");
    resolve(m_fn->openEx, "FT_OpenEx");
    resolve(m_fn->resetDevice, "FT_ResetDevice");
    resolve(m_fn->setBaudRate, "FT_SetBaudRate");
    resolve(m_fn->setDataCharacteristics, "FT_SetDataCharacteristics");
    resolve(m_fn->setFlowControl, "FT_SetFlowControl");
    resolve(m_fn->setLatencyTimer, "FT_SetLatencyTimer");
    resolve(m_fn->getLatencyTimer, "FT_GetLatencyTimer");
    resolve(m_fn->purge, "FT_Purge");
    resolve(m_fn->setTimeouts, "FT_SetTimeouts");
    resolve(m_fn->setRts, "FT_SetRts");
    resolve(m_fn->clrRts, "FT_ClrRts");
    resolve(m_fn->setBreakOn, "FT_SetBreakOn");
    resolve(m_fn->setBreakOff, "FT_SetBreakOff");
    resolve(m_fn->write, "FT_Write");
    resolve(m_fn->read, "FT_Read");
    resolve(m_fn->close, "FT_Close");
    m_loaded = all;
}

D2xxLibrary::~D2xxLibrary()
{
    delete m_fn;
}

QString D2xxLibrary::problem() const
{
    if (!m_found)
        return QStringLiteral("FTDI D2XX library not found");
    if (!m_loaded)
        return QStringLiteral("FTDI D2XX library incomplete (%1)").arg(m_library.fileName());
    return QString();
}

// A missing library enumerates no devices; every other call reports that nothing is open.
FtdiDriver::Status D2xxLibrary::createDeviceInfoList(quint32 *count)
{
    if (!m_loaded) {
        *count = 0;
        return FT_OK;
    }
    return m_fn->createDeviceInfoList(count);
}

FtdiDriver::Status D2xxLibrary::getDeviceInfoDetail(quint32 index, quint32 *flags, quint32 *type, quint32 *id,
                                                    quint32 *locId, char *serialNumber, char *description,
                                                    Handle *handle)
{
    if (!m_loaded)
        return FT_DEVICE_NOT_FOUND;
    return m_fn->getDeviceInfoDetail(index, flags, type, id, locId, serialNumber, description, handle);
}

FtdiDriver::Status D2xxLibrary::openBySerialNumber(const char *serialNumber, Handle *handle)
{
    if (!m_loaded)
        return FT_DEVICE_NOT_FOUND;
    return m_fn->openEx(const_cast<char *>(serialNumber), FT_OPEN_BY_SERIAL_NUMBER, handle);
}

#define ZR_D2XX_FORWARD(call) return m_loaded ? (call) : Status(FT_DEVICE_NOT_OPENED)

FtdiDriver::Status D2xxLibrary::resetDevice(Handle h) { ZR_D2XX_FORWARD(m_fn->resetDevice(h)); }
FtdiDriver::Status D2xxLibrary::setBaudRate(Handle h, quint32 baud) { ZR_D2XX_FORWARD(m_fn->setBaudRate(h, baud)); }
FtdiDriver::Status D2xxLibrary::setDataCharacteristics(Handle h, quint8 wordLength, quint8 stopBits, quint8 parity)
{
    ZR_D2XX_FORWARD(m_fn->setDataCharacteristics(h, wordLength, stopBits, parity));
}
FtdiDriver::Status D2xxLibrary::setFlowControl(Handle h, quint16 flowControl, quint8 xon, quint8 xoff)
{
    ZR_D2XX_FORWARD(m_fn->setFlowControl(h, flowControl, xon, xoff));
}
FtdiDriver::Status D2xxLibrary::setLatencyTimer(Handle h, quint8 ms) { ZR_D2XX_FORWARD(m_fn->setLatencyTimer(h, ms)); }
FtdiDriver::Status D2xxLibrary::getLatencyTimer(Handle h, quint8 *ms) { ZR_D2XX_FORWARD(m_fn->getLatencyTimer(h, ms)); }
FtdiDriver::Status D2xxLibrary::purge(Handle h, quint32 mask) { ZR_D2XX_FORWARD(m_fn->purge(h, mask)); }
FtdiDriver::Status D2xxLibrary::setTimeouts(Handle h, quint32 readMs, quint32 writeMs)
{
    ZR_D2XX_FORWARD(m_fn->setTimeouts(h, readMs, writeMs));
}
FtdiDriver::Status D2xxLibrary::setRts(Handle h) { ZR_D2XX_FORWARD(m_fn->setRts(h)); }
FtdiDriver::Status D2xxLibrary::clrRts(Handle h) { ZR_D2XX_FORWARD(m_fn->clrRts(h)); }
FtdiDriver::Status D2xxLibrary::setBreakOn(Handle h) { ZR_D2XX_FORWARD(m_fn->setBreakOn(h)); }
FtdiDriver::Status D2xxLibrary::setBreakOff(Handle h) { ZR_D2XX_FORWARD(m_fn->setBreakOff(h)); }
FtdiDriver::Status D2xxLibrary::write(Handle h, const void *buffer, quint32 length, quint32 *written)
{
    ZR_D2XX_FORWARD(m_fn->write(h, const_cast<void *>(buffer), length, written));
}
FtdiDriver::Status D2xxLibrary::read(Handle h, void *buffer, quint32 length, quint32 *received)
{
    ZR_D2XX_FORWARD(m_fn->read(h, buffer, length, received));
}
FtdiDriver::Status D2xxLibrary::close(Handle h) { ZR_D2XX_FORWARD(m_fn->close(h)); }

#pragma once
// The serial engine speaks the Win32 communications vocabulary: DCB, COMSTAT,
// COMMTIMEOUTS and the EV_/MS_/CE_/PURGE_ bits. On Windows these come from
// <windows.h>; elsewhere this header defines the same names with the same
// values and layouts, so the engine compiles unchanged on every platform.
//
// The DCB's flag bits are reached through DcbFlags()/SetDcbFlags() rather than
// Win32's bit-fields, so the same engine code works on both definitions.

#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // keep std::min and std::max usable
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The platform layer has its own GetPrivateProfileString and
// WritePrivateProfileString (Profile.h); the A/W macros would rename them.
#undef GetPrivateProfileString
#undef WritePrivateProfileString
#else

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD Flags;  // fBinary … fAbortOnError, see the DCB_F* constants
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMSTAT {
    DWORD Flags;  // fCtsHold … fTxim; not used by the engine
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Comm events (SetCommMask / WaitCommEvent).
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;

// Modem status (GetCommModemStatus).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// Line errors (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// DCB field values.
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// Error codes (GetLastError).
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_BAD_COMMAND = 22;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;

// Wait results.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Win32 thread priorities.
inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

#endif

static_assert(sizeof(DCB) == 28, "DCB must keep the Win32 layout");

// DCB flag bits, as Win32 packs its bit-fields into the third DWORD.
inline constexpr DWORD DCB_FBINARY = 0x0001;
inline constexpr DWORD DCB_FPARITY = 0x0002;
inline constexpr DWORD DCB_FOUTXCTSFLOW = 0x0004;
inline constexpr DWORD DCB_FOUTXDSRFLOW = 0x0008;
inline constexpr DWORD DCB_FDTRCONTROL_MASK = 0x0030;
inline constexpr int DCB_FDTRCONTROL_SHIFT = 4;
inline constexpr DWORD DCB_FDSRSENSITIVITY = 0x0040;
inline constexpr DWORD DCB_FTXCONTINUEONXOFF = 0x0080;
inline constexpr DWORD DCB_FOUTX = 0x0100;
inline constexpr DWORD DCB_FINX = 0x0200;
inline constexpr DWORD DCB_FERRORCHAR = 0x0400;
inline constexpr DWORD DCB_FNULL = 0x0800;
inline constexpr DWORD DCB_FRTSCONTROL_MASK = 0x3000;
inline constexpr int DCB_FRTSCONTROL_SHIFT = 12;
inline constexpr DWORD DCB_FABORTONERROR = 0x4000;

inline DWORD DcbFlags(const DCB& dcb) {
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + 8, sizeof flags);
    return flags;
}

inline void SetDcbFlags(DCB& dcb, DWORD flags) {
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + 8, &flags, sizeof flags);
}

inline DWORD DcbDtrControl(const DCB& dcb) {
    return (DcbFlags(dcb) & DCB_FDTRCONTROL_MASK) >> DCB_FDTRCONTROL_SHIFT;
}

inline DWORD DcbRtsControl(const DCB& dcb) {
    return (DcbFlags(dcb) & DCB_FRTSCONTROL_MASK) >> DCB_FRTSCONTROL_SHIFT;
}

// The one default line setting: 9600 bit/s, 8 data bits, no parity, one stop
// bit (9600,N,8,1), binary, DTR and RTS on, no flow control, DC1 and DC3 as
// XON and XOFF, no XON/XOFF limits. A virtual device starts with it, and the
// tests and benchmarks build theirs from it.
inline DCB MakeDefaultDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    SetDcbFlags(dcb, DCB_FBINARY | (DTR_CONTROL_ENABLE << DCB_FDTRCONTROL_SHIFT) |
                         (RTS_CONTROL_ENABLE << DCB_FRTSCONTROL_SHIFT));
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

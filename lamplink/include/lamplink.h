/* LampLink: one TCP request/reply exchange of an 8-byte lamp frame with a
 * lamp unit. Loading the library starts the socket layer for the process;
 * when no IPv4 socket can be made it says "Windows 소켓 초기화에 실패하였습니다."
 * (on standard error, and in a message box where the program shows one) and
 * the process ends with status 127, as when a needed library fails to load.
 * Usable from C, C++ and Python's ctypes:
 *
 *   lib = ctypes.CDLL("liblamplink.so.1")
 *   lib.Tcp_Orvik_RW.argtypes = [ctypes.c_int32, ctypes.POINTER(ctypes.c_uint8 * 4),
 *                                ctypes.POINTER(ctypes.c_uint8 * 8)]
 *   lib.Tcp_Orvik_RW.restype = ctypes.c_uint8
 */
#ifndef LAMPLINK_H
#define LAMPLINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
/* LampLink.dll: the C calling convention, the name undecorated. */
#define LAMPLINK_CALL __cdecl
#if defined(LAMPLINK_BUILDING)
#define LAMPLINK_API __declspec(dllexport)
#else
#define LAMPLINK_API __declspec(dllimport)
#endif
#else
#define LAMPLINK_CALL
#if defined(LAMPLINK_BUILDING)
#define LAMPLINK_API __attribute__((visibility("default")))
#else
#define LAMPLINK_API
#endif
#endif

/* Sends frame[0..7] to the unit at address[0].address[1].address[2].address[3],
 * TCP port (low 16 bits of port), and puts the reply over the same 8 bytes.
 * frame[0] = 1 asks for a write ('W' on the wire), any other value a read ('R').
 * Returns 1 when the connection was confirmed within 1 second and the request
 * went out whole, 0 otherwise. A unit that sends no reply still gives 1; the
 * frame then holds the request with 'W' or 'R' in byte 0.
 * When it returns 0, errno says why: ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH,
 * ENETUNREACH or EDESTADDRREQ (0.0.0.0) when no connection was made within
 * the second; ECONNRESET or EPIPE when the request could not be sent; the
 * error of socket() when no socket could be made. On Windows
 * WSAGetLastError() says the same (WSAECONNREFUSED, WSAETIMEDOUT, ...): the
 * DLL's C runtime, and so its errno, is its own. */
LAMPLINK_API uint8_t LAMPLINK_CALL Tcp_Orvik_RW(int32_t port, const uint8_t* address,
                                                uint8_t* frame);

#ifdef __cplusplus
}
#endif

#endif /* LAMPLINK_H */

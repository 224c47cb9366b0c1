// Kernel services of the handheld: last-error codes, the local heap, kernel
// handles, threads, waiting and the tick counter.
//
// Every function may be called from any thread. The last-error code is kept
// per thread, as on the device.
#ifndef HOLLOWMARCH_PLATFORM_KERNEL_H_
#define HOLLOWMARCH_PLATFORM_KERNEL_H_

#include <cstddef>

#include "platform/types.h"

// The calling thread's last-error code. Platform calls that fail set it;
// calls that succeed leave it alone unless their contract says otherwise.
DWORD GetLastError();
void SetLastError(DWORD error);

// Local heap. LocalAlloc returns null on failure (last error
// ERROR_NOT_ENOUGH_MEMORY). LMEM_ZEROINIT fills the block with zeros.
// LocalFree returns null on success and the block itself on failure; freeing
// null succeeds. Blocks are ordinary heap blocks that the caller owns until
// it frees them.
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_MOVEABLE = 0x0002;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT flags, size_t bytes);
// Grows or shrinks a block; with LMEM_ZEROINIT the added bytes are zero.
// Null on failure, the old block then staying valid.
HLOCAL LocalReAlloc(HLOCAL block, size_t bytes, UINT flags);
HLOCAL LocalFree(HLOCAL block);
// Size of a block from LocalAlloc/LocalReAlloc.
size_t LocalSize(HLOCAL block);

// Closes a kernel handle of any kind (database, database enumeration,
// thread). FALSE with ERROR_INVALID_HANDLE for a handle that was never
// issued or is closed already; handle values are never reused.
BOOL CloseHandle(HANDLE handle);

// Threads. The procedure runs on a new detached host thread; the handle only
// names it (there is no waiting on it here). Null (0) on failure.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
struct SECURITY_ATTRIBUTES;
HANDLE CreateThread(SECURITY_ATTRIBUTES* security, DWORD stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creation_flags, LPDWORD thread_id);

void Sleep(DWORD milliseconds);

// Milliseconds since the device last started (its last soft reset, else the
// host's uptime), wrapping at 2^32 as on the device.
DWORD GetTickCount();

#endif  // HOLLOWMARCH_PLATFORM_KERNEL_H_

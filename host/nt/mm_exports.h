// How the platform's routines are exported to images: each table entry names
// a routine of the Windows convention and goes in through a boundary that
// carries a thread's exit over the image's frames.
#pragma once

#include "kernel.h"
#include "mm_image.h"

namespace host {

// Ends the thread from a platform routine that `caller` called, after the
// routine ended it (PsTerminateSystemThread, or a wait at shutdown). When
// the caller is image code, the exit is carried over the image's frames,
// which the host's unwinder cannot walk, to the innermost guarded call
// (callDriver); otherwise the ThreadExit goes on as a C++ exception.
[[noreturn]] void leaveImageForThreadExit(NTSTATUS status, const void* caller);

// An export goes in through the boundary: the routine it names must have the
// Windows convention (else the table does not build), and a ThreadExit it
// throws is carried over the image's frames.
template <auto F, class Sig = decltype(F)>
struct ExportBoundary;

template <auto F, class R, class... A>
struct ExportBoundary<F, R(NTAPI*)(A...)> {
    static R NTAPI call(A... args) {
        NTSTATUS exitStatus;
        try {
            return F(args...);
        } catch (const ThreadExit& e) {
            exitStatus = e.status;
        }
        leaveImageForThreadExit(exitStatus, __builtin_return_address(0));
    }
};

#if defined(__clang__)
// Clang keeps noreturn in a routine's type (KeBugCheck,
// PsTerminateSystemThread): such a routine goes in through the same boundary.
template <auto F, class R, class... A>
struct ExportBoundary<F, R(NTAPI __attribute__((noreturn))*)(A...)>
    : ExportBoundary<F, R(NTAPI*)(A...)> {};
#endif

// A routine that charges what it allocates to its caller's image (by its
// return address) is exported as it is, so that the caller it sees is the
// image; none of them waits, so no thread ends under it.
template <class R, class... A>
constexpr const void* directExport(R(NTAPI* f)(A...)) {
    return reinterpret_cast<const void*>(f);
}

// A routine with `...`: it never waits, so it is exported as it is.
template <class R, class... A>
constexpr const void* variadicExport(R(NTAPI* f)(A..., ...)) {
    return reinterpret_cast<const void*>(f);
}

#define ZH_EXPORT(routine) ::host::ExportEntry{#routine, reinterpret_cast<const void*>(&::host::ExportBoundary<&routine>::call)}
#define ZH_EXPORT_AS(name, routine) ::host::ExportEntry{name, reinterpret_cast<const void*>(&::host::ExportBoundary<&routine>::call)}
#define ZH_EXPORT_CHARGING_CALLER(routine) ::host::ExportEntry{#routine, ::host::directExport(&routine)}
#define ZH_EXPORT_VARIADIC(routine) ::host::ExportEntry{#routine, ::host::variadicExport(&routine)}
#define ZH_EXPORT_DATA(variable) ::host::ExportEntry{#variable, static_cast<const void*>(&variable)}

} // namespace host

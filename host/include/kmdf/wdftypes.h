/*
 * KMDF 1.9: basic types, object handles, the driver globals and the bind
 * information the entry stub hands to the framework loader.
 */
#pragma once

#ifdef __cplusplus
#define WDF_EXTERN_C extern "C"
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }
#else
#define WDF_EXTERN_C extern
#define WDF_EXTERN_C_START
#define WDF_EXTERN_C_END
#endif

#define WDFAPI
#define WDF_NO_OBJECT_ATTRIBUTES 0
#define WDF_NO_HANDLE 0
#define WDF_NO_CONTEXT 0
#define WDF_NO_SEND_OPTIONS 0

/* Object handles: distinct pointer types, as DECLARE_HANDLE makes them. */
#define WDF_DECLARE_HANDLE(name) typedef struct name##__ { int unused; } *name
typedef void *WDFOBJECT, **PWDFOBJECT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFSTRING);
typedef struct WDFDEVICE_INIT *PWDFDEVICE_INIT;

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE, *PWDF_TRI_STATE;

/* Relative time-outs in 100-ns units (negative), as the framework takes them. */
#define WDF_REL_TIMEOUT_IN_SEC(s) ((LONGLONG)(s) * -10000000LL)
#define WDF_REL_TIMEOUT_IN_MS(ms) ((LONGLONG)(ms) * -10000LL)
#define WDF_REL_TIMEOUT_IN_US(us) ((LONGLONG)(us) * -10LL)

/* One table entry: any framework function, cast to its own type by the wrapper. */
typedef VOID (NTAPI *WDFFUNC)(VOID);

/* The driver globals the framework hands back at bind time. */
#define WDF_DRIVER_GLOBALS_NAME_LEN 32
typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[WDF_DRIVER_GLOBALS_NAME_LEN];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

/* The version-bind protocol: the entry stub passes this to WdfVersionBind. */
typedef struct _WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} WDF_VERSION, *PWDF_VERSION;

typedef struct _WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;        /* L"KmdfLibrary" */
    WDF_VERSION Version;     /* 1.9 */
    ULONG FuncCount;         /* entries of the client's table: WdfFunctionTableNumEntries */
    WDFFUNC *FuncTable;      /* the client's own table, which the loader fills with a copy */
    PVOID Module;            /* the loader's; management use only */
} WDF_BIND_INFO, *PWDF_BIND_INFO;

typedef PVOID PWDF_COMPONENT_GLOBALS;

WDF_EXTERN_C_START
/* Exported by the framework loader (WDFLDR.SYS); called only by the entry stub. */
NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                              PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS *ComponentGlobals);
NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                PWDF_COMPONENT_GLOBALS ComponentGlobals);

/* Defined by the entry stub that every KMDF driver links (the function
 * table itself, WdfFunctions, is declared in wdffuncenum.h with its size). */
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;
extern WDF_BIND_INFO WdfBindInfo;
NTSTATUS NTAPI FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
WDF_EXTERN_C_END

/* Structure sizes: a 1.9 driver on a 1.9 framework passes its own sizes. */
#define WDF_STRUCTURE_SIZE(s) ((ULONG)sizeof(s))

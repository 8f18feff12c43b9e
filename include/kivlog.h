/*
 * kivlog.h: what an installer links to log its changes into a Kiv
 * uninstall file as it makes them, in-process: open the file, append a
 * batch of records as one durable transaction, check it as the stub will.
 *
 * Linked as a static or shared library (libkivlog.a, libkivlog.so) on the
 * host and as kivlog.dll on Windows, whose functions use the stdcall
 * convention on 32-bit Windows (as the Windows API does, so NSIS' System
 * plug-in, Inno Setup's external functions, VB and .NET P/Invoke declare
 * them the same way) and are exported undecorated.
 *
 * Strings are UTF-8 and NUL-terminated. A record batch is a kivlog manifest
 * (docs/kivlog.md) as JSON text: {"records": [...]}, display_name optional.
 *
 * Versions: kivlog_version() gives the library's (major << 16) | minor.
 * Within one major version the interface only grows: functions are added,
 * none changes or goes, so a program built against 1.y runs with any 1.z
 * where z >= y. A program checks the major it was built for:
 *     if ((kivlog_version() >> 16) != KIVLOG_VERSION_MAJOR) ...
 */
#ifndef KIVLOG_H_
#define KIVLOG_H_

#define KIVLOG_VERSION_MAJOR 1
#define KIVLOG_VERSION_MINOR 0

#if defined(_WIN32)
#if defined(KIVLOG_BUILDING_DLL)
#define KIVLOG_API __declspec(dllexport)
#elif defined(KIVLOG_STATIC)
#define KIVLOG_API
#else
#define KIVLOG_API __declspec(dllimport)
#endif
#define KIVLOG_CALL __stdcall
#else
#define KIVLOG_API __attribute__((visibility("default")))
#define KIVLOG_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define KIVLOG_OK 0
#define KIVLOG_FAILED 1       /* a fault in the file, the batch or the disk: see kivlog_last_error */
#define KIVLOG_BAD_ARGUMENT 2 /* a null pointer where one is not allowed */

typedef struct kivlog_file kivlog_file;

/* (major << 16) | minor of the library that runs. */
KIVLOG_API unsigned KIVLOG_CALL kivlog_version(void);

/* Opens the uninstall file at path (which kivlog build made) for reading
 * and writing and checks its chain as the stub does (kivlog_check also
 * applies build's rules). The handle holds that open file until
 * kivlog_close: every call reads and writes it, never the path again, and
 * fails (changing nothing) once the path leads to another file (one renamed
 * into its place). *file is set even on KIVLOG_FAILED, so that
 * kivlog_last_error can say why; close it either way. */
KIVLOG_API int KIVLOG_CALL kivlog_open(const char* path, kivlog_file** file);

/* Appends the batch's records as one transaction: wherever the process
 * stops (killed, a crash, a power loss, a full disk), the file holds
 * either its old records or all of the batch's too, and the stub takes it
 * as sound. The file is locked for the transaction only: another process
 * (kivlog append) waits for it, and appends after it. Nothing is written
 * when the batch or the file has a fault. No warnings are run here: run
 * kivlog build or check on the manifests at authoring time. */
KIVLOG_API int KIVLOG_CALL kivlog_append(kivlog_file* file, const char* batch_json);

/* Checks the file as kivlog check does (the stub's check, then the rules
 * build applies) and sets *records (may be null) to the number of records
 * the uninstall would undo. */
KIVLOG_API int KIVLOG_CALL kivlog_check(kivlog_file* file, unsigned* records);

/* The last fault on file, one line per fault, UTF-8; "" after a success.
 * Valid until the next call on file. */
KIVLOG_API const char* KIVLOG_CALL kivlog_last_error(const kivlog_file* file);

KIVLOG_API void KIVLOG_CALL kivlog_close(kivlog_file* file);

#ifdef __cplusplus
}
#endif

#endif /* KIVLOG_H_ */

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
 * (docs/kivlog.md) as JSON text: {"records": [...]}, display_name optional;
 * or the records added one by one with the kivlog_add_ calls, appended by
 * kivlog_commit.
 *
 * Every call sets the last error (kivlog_last_error): "" on success, else
 * one line per fault, argument faults included. A call that has no file to
 * set it on (a null file) sets the one kivlog_last_error(NULL) gives.
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
#define KIVLOG_VERSION_MINOR 2

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

/* Makes a new uninstall file at out_path from the stub (kivuninst.exe or
 * another of the four, as shipped) with no records and display_name, as
 * kivlog build does from {"display_name": ..., "records": []}: an existing
 * file there is replaced only once the new one is whole. Then opens it as
 * kivlog_open does; *file is set even on KIVLOG_FAILED. */
KIVLOG_API int KIVLOG_CALL kivlog_create(const char* stub_path, const char* display_name,
                                         const char* out_path, kivlog_file** file);

/* One record each, added to the batch kivlog_commit appends. Each is checked
 * on its own as build checks it (KIVLOG_FAILED and nothing added when it
 * has a fault); kivlog_commit appends every record added since the last
 * commit as one transaction, as kivlog_append does, and empties the batch
 * whatever its result. The fields are those of docs/kivlog.md. */
KIVLOG_API int KIVLOG_CALL kivlog_add_directory(kivlog_file* file, const char* path);
KIVLOG_API int KIVLOG_CALL kivlog_add_file(kivlog_file* file, const char* path);
/* A file the installation replaced: content_file holds its old content (a
 * relative path is taken from the current directory; read at the commit),
 * put back with content_file's last-write time. */
KIVLOG_API int KIVLOG_CALL kivlog_add_replaced_file(kivlog_file* file, const char* path,
                                                    const char* content_file);
/* An INI key the installation created: the uninstall removes it. */
KIVLOG_API int KIVLOG_CALL kivlog_add_ini_remove(kivlog_file* file, const char* ini_file,
                                                 const char* section, const char* key);
/* An INI key the installation changed: the uninstall puts old_text back. */
KIVLOG_API int KIVLOG_CALL kivlog_add_ini_restore(kivlog_file* file, const char* ini_file,
                                                  const char* section, const char* key,
                                                  const char* old_text);
/* A line key=value the installation added straight into the file, under the
 * header line section_header ("[drivers]"): the uninstall cuts that line. */
KIVLOG_API int KIVLOG_CALL kivlog_add_ini_line(kivlog_file* file, const char* ini_file,
                                               const char* section_header, const char* key,
                                               const char* value);
/* A registry string value: old_data NULL, the installation created it and
 * the uninstall deletes it (then its key, when left empty); else the
 * uninstall sets it back to old_data. path is the key's path and the value's
 * name joined by a backslash. */
KIVLOG_API int KIVLOG_CALL kivlog_add_registry_value(kivlog_file* file, const char* root,
                                                     const char* path, const char* old_data);
/* A registry key the installation created, removed when left empty. */
KIVLOG_API int KIVLOG_CALL kivlog_add_registry_key(kivlog_file* file, const char* root,
                                                   const char* key);
KIVLOG_API int KIVLOG_CALL kivlog_add_font(kivlog_file* file, const char* name,
                                           const char* font_file);
KIVLOG_API int KIVLOG_CALL kivlog_add_shell_group(kivlog_file* file, const char* group);
KIVLOG_API int KIVLOG_CALL kivlog_add_shell_item(kivlog_file* file, const char* group,
                                                 const char* item);
KIVLOG_API int KIVLOG_CALL kivlog_commit(kivlog_file* file);

/* Writes the product's entry in the system's list of programs for the
 * uninstall file, where its stub removes it once the product is removed:
 * under HKEY_LOCAL_MACHINE (the 32- or 64-bit registry view, as the stub's
 * processor) for the per-machine stubs, under HKEY_CURRENT_USER for the
 * per-user ones, named after the file's display name. details_json is a
 * JSON object: {"version": "2.4.1", "publisher": "Example Corp."} and, where
 * wanted, "install_location", "display_icon", "url_info_about",
 * "install_date" (YYYYMMDD; default today), "estimated_size_kib",
 * "language" (a Windows language id), "path" (the file's full path;
 * default: the path kivlog_open was given, made full). A missing version or
 * publisher is refused unless "allow_missing": true. docs/deployment.md
 * lists every value written and which tools read it. Only kivlog.dll writes
 * a registry: elsewhere the call fails and writes nothing. Since 1.2. */
KIVLOG_API int KIVLOG_CALL kivlog_register(kivlog_file* file, const char* details_json);

/* The last call's faults on file (NULL: of the last call that had no file),
 * one line per fault, UTF-8; "" after a success. Valid until the next call
 * on file. */
KIVLOG_API const char* KIVLOG_CALL kivlog_last_error(const kivlog_file* file);

KIVLOG_API void KIVLOG_CALL kivlog_close(kivlog_file* file);

#ifdef __cplusplus
}
#endif

#endif /* KIVLOG_H_ */

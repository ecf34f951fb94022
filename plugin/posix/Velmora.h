/* libVelmora.so: the accounting backup preprocessing plug-in, for hosts on POSIX systems.
 *
 * A host loads the library (dlopen), looks up DoIt and the string functions (dlsym)
 * and calls DoIt on the thread that owns its user interface; DoIt returns once the
 * run is over. Text arguments are in the locale's codeset (call setlocale first);
 * the result is an OLE-style wide string: UTF-16, its byte count in the four bytes
 * before the first character, NUL-terminated. The library allocates and frees these
 * strings itself, so a host must give back every string it receives with
 * VelmoraSysFreeString, and pre-set the result with VelmoraSysAllocStringLen (or NULL).
 */
#ifndef VELMORA_H
#define VELMORA_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(VELMORA_BUILDING_LIBRARY) && defined(__GNUC__)
#define VELMORA_API __attribute__((visibility("default")))
#else
#define VELMORA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Prepares the backup file for import. Result receives the connection string of the
 * prepared database, or "0" when nothing usable was prepared; its previous string is
 * freed. HostWindow is the host's main window (any value; it owns the dialogs).
 * HostFolder is the folder the work folder lies under: the work folder is HostFolder
 * with "TempLateTemp/" appended directly, so pass it with a trailing slash. Year is
 * the year of the wanted opening balances, in decimal digits. Never raises. */
VELMORA_API void DoIt(char16_t** Result, void* HostWindow, const char* HostFolder, const char* BackupFile,
                      const char* Year);

/* A new string of Length characters copied from Chars (zeros when Chars is NULL);
 * NULL when memory runs out. */
VELMORA_API char16_t* VelmoraSysAllocStringLen(const char16_t* Chars, uint32_t Length);
/* Frees a string of the library; NULL does nothing. */
VELMORA_API void VelmoraSysFreeString(char16_t* String);
/* Characters in the string, without the terminating NUL; 0 for NULL. */
VELMORA_API uint32_t VelmoraSysStringLen(const char16_t* String);

typedef void (*TVelmoraDoIt)(char16_t**, void*, const char*, const char*, const char*);
typedef char16_t* (*TVelmoraSysAllocStringLen)(const char16_t*, uint32_t);
typedef void (*TVelmoraSysFreeString)(char16_t*);
typedef uint32_t (*TVelmoraSysStringLen)(const char16_t*);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_H */

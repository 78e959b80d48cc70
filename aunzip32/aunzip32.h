#pragma once
// AUNZIP32.DLL: the exports the service monitor binds by name with
// GetProcAddress and calls in this order, once per extraction. The setters keep
// their value in process-wide state for the next addUNZIP; they return 0, or
// kUnzipBadArgument for a NULL pointer. Strings are in the ANSI code page.
#include <windows.h>

#include "aunzip32/unzip_codes.h"

extern "C" {
// Any mode replaces existing files without asking, except kOverwriteNever (10)
// which keeps them; the monitor passes kOverwriteAlways (11).
short WINAPI addUNZIP_Overwrite(short mode);
// The zip file to read.
short WINAPI addUNZIP_ArchiveName(const char* path);
// Which entries, by plain file name: "*"/"?" patterns separated by '|' or ';'.
// "" selects every entry.
short WINAPI addUNZIP_Include(const char* list);
// The folder to write into, with or without a trailing backslash. It must exist.
short WINAPI addUNZIP_ExtractTo(const char* folder);
// 0: every entry goes straight into the folder under its plain file name.
// Non-zero (-1): the entry's folders are recreated inside the target folder.
short WINAPI addUNZIP_RestoreStructure(short restore);
// Runs the extraction: the number of files written, or a negative UnzipError.
// Never shows anything or waits for input.
long WINAPI addUNZIP(void);
}

// The same signatures for GetProcAddress.
using AddUnzipOverwriteFn = short(WINAPI*)(short);
using AddUnzipTextFn = short(WINAPI*)(const char*);  // ArchiveName, Include, ExtractTo
using AddUnzipRestoreStructureFn = short(WINAPI*)(short);
using AddUnzipFn = long(WINAPI*)();

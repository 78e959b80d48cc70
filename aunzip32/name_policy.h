#pragma once
// Which entries are written, and under what name. Pure functions on UTF-8 text.
#include <string>
#include <string_view>
#include <vector>

namespace quarn::unzip {

// An entry name as UTF-8: names flagged UTF-8 are checked, the others are read
// as code page 437, the format's default. False when a flagged name is not UTF-8.
bool EntryNameToUtf8(std::string_view raw, bool flaggedUtf8, std::string& utf8);

// The last component of an entry name, after the last '/' or '\'.
std::string_view PlainName(std::string_view name);

// Whether Windows creates this name as an ordinary file in the folder it is
// given: not empty, "." or "..", no ':' (drives, streams), no <>"|?*\/ or
// control characters, no trailing space or dot, not a device (CON, NUL.txt, ...).
bool IsSafeFileName(std::string_view name);

// Where an entry goes below the target folder: its plain name, or with
// restoreStructure its folders and name. Empty when the entry is skipped: a
// name that tries to leave the folder (absolute, drive letter, "..") is skipped
// as a whole in both modes, as is any unsafe component that would be created.
std::vector<std::string> TargetPath(std::string_view name, bool restoreStructure);

// '*' and '?' wildcards, ASCII case-insensitive; '?' is one character.
bool WildcardMatch(std::string_view pattern, std::string_view name);

// Whether a plain name is selected by an include list: patterns separated by
// '|' or ';'. A list without patterns selects every entry.
bool Included(std::string_view list, std::string_view plainName);

}  // namespace quarn::unzip

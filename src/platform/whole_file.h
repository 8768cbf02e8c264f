#pragma once
#include <string>

#include "platform/paths.h"

namespace korv {

// Reads a whole existing file byte for byte; other readers may share it, writers may not.
std::string ReadFileToString(const std::string& cp932Path, Links links = Links::Follow);
// Links::Refuse: a symbolic link in the file's place is a LinkRefused error, never followed (and
// never replaced by a write).
// Writes a text whole. The new content goes to a temporary file in the same folder which then
// replaces the old one, so a failed write never loses what the file held. A process that holds
// the file open (locked) makes the write fail with SharingViolation.
void WriteStringToFile(const std::string& text, const std::string& cp932Path,
                       Links links = Links::Follow);
// Writes a file that must not exist yet (a file of that name is an error, never replaced); a
// failed write removes the part written. For files in a folder just made.
void WriteNewFile(const std::string& text, const std::string& cp932Path);
// Adds text at the end of an existing file, holding it exclusively meanwhile; a failed write
// leaves the file as it was. For files that only grow: nothing old is rewritten.
void AppendStringToFile(const std::string& text, const std::string& cp932Path,
                        Links links = Links::Follow);
// As AppendStringToFile; false, with nothing written, when there is no such file.
bool AppendStringToExistingFile(const std::string& text, const std::string& cp932Path,
                                Links links = Links::Follow);
// Copies a file byte for byte, replacing a file at the target; a copy that fails (a full disk
// cuts it short) is removed again. FileError names the file and the reason.
void CopyFileReplacing(const std::string& fromCp932, const std::string& toCp932);
// As CopyFileReplacing, from bytes in memory.
void WriteFileReplacing(const std::string& text, const std::string& toCp932);
// As WriteStringToFile, and a file that did not exist yet is created readable by its owner only.
void WritePrivateStringToFile(const std::string& text, const std::string& cp932Path);

}  // namespace korv

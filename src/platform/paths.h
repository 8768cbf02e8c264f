#pragma once
// Paths are CP932 texts inside the program; both '/' and '\' separate folders, and a '\' that is
// the second byte of a double-byte character is part of that character.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace korv {

inline constexpr char kPathDelimiter = '/';

// The operating system's path for a CP932 path: '\' delimiters become '/', names are UTF-8.
std::filesystem::path nativePath(std::string_view cp932);
// Back from the operating system; characters CP932 cannot hold become '_'.
std::string fromNativePath(const std::filesystem::path& p);

// The longest name, in bytes of its native form, that the file systems we run on take.
inline constexpr std::size_t kMaxNativeNameBytes = 255;
// True for a name Windows keeps for a device whatever follows its first dot, in any case (CON,
// nul.jpg, Com1, LPT9.tar.gz): archives move between machines.
bool isWindowsDeviceName(std::string_view cp932Name);

bool endsWithPathDelimiter(std::string_view cp932);
std::string withTrailingDelimiter(std::string cp932);
// Extension from the last '.' not followed by a delimiter or drive colon, with its dot; or "".
std::string extensionOf(std::string_view cp932);

bool fileExists(std::string_view cp932);    // exists and is not a directory
bool folderExists(std::string_view cp932);  // exists and is a directory
// Creates the folder with its parents; failure is silent, the next file access reports it.
void createFolders(std::string_view cp932);
// As createFolders, but a folder that cannot be made is a FileError with the system's reason,
// so that a read-only home is reported as such and not as a missing file later.
void ensureFolders(std::string_view cp932);
// Makes a new folder, and its missing parents; false when the name is taken already (by a folder
// or a file). Any other failure is a FileError naming the folder.
bool createNewFolder(std::string_view cp932);
// Renames a folder to a name that must be free; false when the name is taken (never replaces
// anything there). Any other failure is a FileError naming both.
bool renameFolderToFreeName(std::string_view fromCp932, std::string_view toCp932);

// Whether a symbolic link in a file's place is followed. The home's own files (ledger, log,
// lock, journal, session and counter files) say Refuse: a link there is a LinkRefused error that
// names it, never a way out of the home.
enum class Links { Follow, Refuse };
// open(2) of a CP932 path; -1 with errno when it fails, but a refused link throws LinkRefused.
int openPath(std::string_view cp932, int flags, mode_t mode, Links links);
bool isSymbolicLink(std::string_view cp932);
// Removes a regular file that lies inside folder, both resolved (a file name with ".." in it
// never does). False when there is no such file; anything else that is not removed (a link, a
// folder, a file elsewhere, a failed removal) is a FileError naming the file and the reason.
bool removeFileInside(std::string_view cp932File, std::string_view cp932Folder);

// The folder holding the running program, with a trailing delimiter.
std::string programFolder();
// The process's current folder, without a trailing delimiter.
std::string currentFolder();

}  // namespace korv

#pragma once

#include "fs/system/Ort.h"

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace tresor::posix {

// The extended-attribute calls on an entry named by an Ort, never through a symbolic link in its last name.
// Relative to a folder descriptor they use getxattrat and its siblings (Linux 6.13); where the kernel has
// none of them, the entry is named through /proc/self/fd instead, which the kernel resolves through the same
// open folder. Each returns what its system call returns and leaves errno as the call set it.
ssize_t GetxattrAn(const Ort& ort, const char* attribut, void* puffer, std::size_t groesse);
int SetxattrAn(const Ort& ort, const char* attribut, const void* wert, std::size_t groesse);
int RemovexattrAn(const Ort& ort, const char* attribut);

// Reads an extended attribute of the entry itself, whatever its length. Nothing when it is missing,
// unreadable or not supported by the file system (errno then tells which). A value of up to `erwartet` bytes
// takes one call (the kernel zeroes a buffer of that size for each call, so it is no larger than the values
// read are); a longer one asks for its length first.
std::optional<std::string> LiesXattr(const Ort& ort, const char* name, std::size_t erwartet = 256);

} // namespace tresor::posix

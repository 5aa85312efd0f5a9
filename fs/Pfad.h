#pragma once

#include <string>

namespace tresor {

// A path in the program's own form: a drive letter, a colon, a backslash, then names joined by single
// backslashes (C:\home\anna). A drive root is the three characters letter, colon, backslash. The bytes of
// every name are kept exactly as the file system stores them, except that a backslash inside a name is
// written as "/" (a byte no Linux name holds), so a name is always one level (C:\f\a/b is the file "a\b"
// in /f); paths are joined by plain concatenation and never normalised.
using Pfad = std::string;

} // namespace tresor

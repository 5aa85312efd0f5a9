#include "fs/PosixDateisystem.h"

namespace tresor {
// placeholder, to be written
} // namespace tresor

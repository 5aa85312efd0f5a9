#include "fs/Laufwerkstabelle.h"

namespace tresor {
// placeholder, to be written
} // namespace tresor

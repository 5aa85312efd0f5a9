#pragma once

#include "fs/Attributablage.h"
#include "fs/XattrAblage.h"

#include <sys/types.h>

namespace tresor::posix {

// Chooses for each file system the store of its DOS bits and archive records (Attributablage). Today every
// file system keeps them in extended attributes; a file system that keeps DOS bits of its own, or none at
// all, gets its store chosen here, once per device, so that the operations never ask which kind it is.
class Ablagen {
public:
    // The store of the file system `geraet`; `ort` names an entry of it, should the file system have to be
    // asked what it is.
    Attributablage& Fuer(dev_t geraet, const Ort& ort);

private:
    XattrAblage xattr_;
};

} // namespace tresor::posix

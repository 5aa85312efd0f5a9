#pragma once

#include "fs/ablage/Attributablage.h"

namespace tresor::posix {

// The DOS bits and archive records in extended attributes of the user namespace, for file systems that
// hold them (ext4, xfs, btrfs, tmpfs ...): the DOS bits in user.DOSATTRIB (Dosattrib.h), a file's record
// in user.tresor-ix.archiv (Archivvermerk.h), the records of a folder's symbolic links on the folder in
// user.tresor-ix.verweise (Verweisvermerk.h). Writing them needs write permission on the entry; a
// read-only permission bit is the read-only bit, so it is never stored here.
class XattrAblage final : public Attributablage {
public:
    std::optional<std::uint32_t> LiesDos(const Ort& ort) override;
    bool SchreibeDos(const Ort& ort, std::uint32_t wert) override;
    std::optional<Archivvermerk> LiesVermerk(const Ort& ort) override;
    bool SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) override;
    bool LoescheVermerk(const Ort& ort) override;
    std::optional<Verweisvermerk> LiesVerweisvermerk(const Ort& ordner) override;
    bool SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) override;
    bool LoescheVerweisvermerk(const Ort& ordner) override;
};

} // namespace tresor::posix

#pragma once

namespace tresor {

// The reason of a failed write to the open file or folder `fd`: `nummer` as it came, except an input/output
// error on a file system without free space left, which is a full disk. A network file system whose protocol
// has no word for a full disk (sshfs: SFTP's "failure") reports it as an input/output error; its free space,
// which the server reports, says what it was.
[[nodiscard]] int Schreibfehler(int fd, int nummer);

} // namespace tresor

#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tresor::test {

// Network targets on this machine, for tests that back up onto them: an SSH server on a loopback port mounted
// with sshfs, and a Samba server on a loopback address of its own mounted with the FUSE SMB client smbnetfs.
// Each server lives in a folder of its own (keys, configuration, logs) and serves a folder given to it; it
// stops, and its mounts go, when the object goes. Where root, /dev/fuse or a program is missing, Bereit() is
// false and Grund() says why; the test then skips.
class Netzserver {
public:
    virtual ~Netzserver();
    Netzserver(const Netzserver&) = delete;
    Netzserver& operator=(const Netzserver&) = delete;

    bool Bereit() const noexcept { return bereit_; }
    const std::string& Grund() const noexcept { return grund_; }

    // Mounts the served folder on `punkt` (created). Returns false, with Grund() set, where it fails.
    virtual bool Einhaengen(const std::filesystem::path& punkt) = 0;
    // The folder of the mount in which the served folder appears (the mount point itself for sshfs).
    virtual std::filesystem::path Freigabe(const std::filesystem::path& punkt) const = 0;
    // Unmounts every mount made by Einhaengen.
    void Aushaengen();

    // The processes serving the mounted clients now (not the listening server): killed, the connections
    // drop; stopped, every request waits until they go on.
    std::vector<pid_t> Sitzungen() const;
    void TrenneVerbindungen() const;
    void Anhalten() const;
    void Fortsetzen() const;
    // The client process of the mount on `punkt` (sshfs, smbnetfs), stopped or let go on: while it is
    // stopped, every call on the mount waits in the kernel's queue.
    void KlientAnhalten(const std::filesystem::path& punkt, bool anhalten) const;

protected:
    Netzserver() = default;
    void Stoppe();

    bool bereit_ = false;
    std::string grund_;
    pid_t server_ = -1; // the listening server
    std::vector<std::filesystem::path> punkte_;
};

// OpenSSH's server on 127.0.0.1 and a free port, with a key made for it; its sftp is the server's own.
class SshServer : public Netzserver {
public:
    // `ordner` takes keys, configuration and log; `freigabe` is the folder the mount shows.
    SshServer(const std::filesystem::path& ordner, std::filesystem::path freigabe);
    ~SshServer() override;

    bool Einhaengen(const std::filesystem::path& punkt) override;
    std::filesystem::path Freigabe(const std::filesystem::path& punkt) const override { return punkt; }

private:
    std::filesystem::path ordner_, freigabe_;
    int port_ = 0;
};

// Samba's smbd on port 445 of a loopback address of its own (127.x.y.z, from the process id), serving one
// share "ziel" to guests as root; smbnetfs mounts the network, and the share appears below <punkt>/<address>.
class SmbServer : public Netzserver {
public:
    SmbServer(const std::filesystem::path& ordner, std::filesystem::path freigabe);
    ~SmbServer() override;

    bool Einhaengen(const std::filesystem::path& punkt) override;
    std::filesystem::path Freigabe(const std::filesystem::path& punkt) const override {
        return punkt / adresse_ / "ziel";
    }

private:
    std::filesystem::path ordner_, freigabe_;
    std::string adresse_;
};

} // namespace tresor::test

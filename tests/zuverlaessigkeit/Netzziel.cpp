#include "tests/zuverlaessigkeit/Netzziel.h"

#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <thread>

extern char** environ;

namespace tresor::test {

namespace fs = std::filesystem;

namespace {

// Starts a server in the foreground as a child of this process, its output into `log`. It gets a process group
// of its own: smbd, told to stop, signals its whole group, which must not be the test runner's.
pid_t Starte(const std::vector<std::string>& befehl, const fs::path& log, char** umgebung = environ) {
    posix_spawnattr_t eigenschaften;
    posix_spawnattr_init(&eigenschaften);
    posix_spawnattr_setflags(&eigenschaften, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&eigenschaften, 0);
    posix_spawn_file_actions_t aktionen;
    posix_spawn_file_actions_init(&aktionen);
    posix_spawn_file_actions_addopen(&aktionen, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&aktionen, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&aktionen, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : befehl)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &aktionen, &eigenschaften, argv.data(), umgebung) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&aktionen);
    posix_spawnattr_destroy(&eigenschaften);
    return pid;
}

// Waits until the address accepts connections (the server is up), at most about ten seconds.
bool WarteAufPort(const std::string& adresse, int port) {
    for (int versuch = 0; versuch < 400; ++versuch) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, adresse.c_str(), &a.sin_addr);
        const bool offen = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (offen)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// A port of 127.0.0.1 that is free now.
int FreierPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t laenge = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &laenge) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// Every process below `wurzel` (children, their children, ...), from /proc.
std::vector<pid_t> Nachkommen(pid_t wurzel) {
    std::multimap<pid_t, pid_t> kinder;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(e.path() / "stat");
        std::string zeile;
        std::getline(stat, zeile);
        const auto klammer = zeile.rfind(')');
        if (klammer == std::string::npos)
            continue;
        char zustand = 0;
        int eltern = 0;
        if (std::sscanf(zeile.c_str() + klammer + 1, " %c %d", &zustand, &eltern) == 2)
            kinder.emplace(eltern, std::stoi(name));
    }
    std::vector<pid_t> alle;
    std::vector<pid_t> offen{wurzel};
    while (!offen.empty()) {
        const pid_t p = offen.back();
        offen.pop_back();
        auto [von, bis] = kinder.equal_range(p);
        for (auto it = von; it != bis; ++it) {
            alle.push_back(it->second);
            offen.push_back(it->second);
        }
    }
    return alle;
}

bool Grundbedingungen(std::string& grund, const std::vector<const char*>& programme) {
    if (::geteuid() != 0) {
        grund = "Netzziele brauchen root";
        return false;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        grund = "/dev/fuse fehlt";
        return false;
    }
    for (const char* p : programme)
        if (::access(p, X_OK) != 0) {
            grund = std::string(p) + " fehlt (tools/abhaengigkeiten.sh)";
            return false;
        }
    return true;
}

} // namespace

Netzserver::~Netzserver() = default;

void Netzserver::Aushaengen() {
    for (const auto& p : punkte_)
        if (Fuehre({"fusermount", "-u", p.string()}) != 0)
            (void)Fuehre({"umount", "-l", p.string()});
    punkte_.clear();
}

std::vector<pid_t> Netzserver::Sitzungen() const {
    return server_ > 0 ? Nachkommen(server_) : std::vector<pid_t>{};
}

void Netzserver::TrenneVerbindungen() const {
    for (const pid_t p : Sitzungen())
        ::kill(p, SIGKILL);
}

void Netzserver::Anhalten() const {
    for (const pid_t p : Sitzungen())
        ::kill(p, SIGSTOP);
}

void Netzserver::Fortsetzen() const {
    for (const pid_t p : Sitzungen())
        ::kill(p, SIGCONT);
}

namespace {
// A stop signal reaches the threads of a process some time after kill() returns. Until every thread of the
// client stands, one of them may still take a request off the mount's queue, and a caller whose request was
// taken waits for its answer even when it is killed: the run could then not end. So wait until they stand.
void WarteBisAngehalten(const fs::path& prozess) {
    for (int versuch = 0; versuch < 2000; ++versuch) {
        bool alle = true;
        std::error_code f;
        for (const auto& faden : fs::directory_iterator(prozess / "task", f)) {
            std::ifstream stat(faden.path() / "stat");
            std::string zeile;
            std::getline(stat, zeile);
            const std::size_t klammer = zeile.rfind(')');
            if (klammer != std::string::npos && klammer + 2 < zeile.size() && zeile[klammer + 2] != 'T' &&
                zeile[klammer + 2] != 't')
                alle = false;
        }
        if (alle)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
} // namespace

void Netzserver::KlientAnhalten(const fs::path& punkt, bool anhalten) const {
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::ifstream befehl(e.path() / "cmdline", std::ios::binary);
        std::string zeile((std::istreambuf_iterator<char>(befehl)), std::istreambuf_iterator<char>());
        std::vector<std::string> teile;
        for (std::size_t a = 0, b; a < zeile.size(); a = b + 1) {
            b = zeile.find('\0', a);
            teile.push_back(zeile.substr(a, b - a));
            if (b == std::string::npos)
                break;
        }
        if (teile.empty() || (!teile[0].ends_with("sshfs") && !teile[0].ends_with("smbnetfs")))
            continue;
        for (const auto& t : teile)
            if (t == punkt.string()) {
                ::kill(std::stoi(e.path().filename().string()), anhalten ? SIGSTOP : SIGCONT);
                if (anhalten)
                    WarteBisAngehalten(e.path());
            }
    }
}

void Netzserver::Stoppe() {
    Fortsetzen();
    Aushaengen();
    if (server_ > 0) {
        for (const pid_t p : Sitzungen())
            ::kill(p, SIGKILL);
        ::kill(server_, SIGTERM);
        ::waitpid(server_, nullptr, 0);
        server_ = -1;
    }
}

SshServer::SshServer(const fs::path& ordner, fs::path freigabe) : ordner_(ordner), freigabe_(std::move(freigabe)) {
    if (!Grundbedingungen(grund_, {"/usr/sbin/sshd", "/usr/bin/sshfs", "/usr/bin/ssh-keygen"}))
        return;
    fs::create_directories(ordner_);
    fs::create_directories("/run/sshd"); // the server's own empty folder for its unprivileged part
    std::string ausgabe;
    for (const char* schluessel : {"wirt", "nutzer"})
        if (Fuehre({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (ordner_ / schluessel).string()}, &ausgabe) !=
            0) {
            grund_ = "ssh-keygen: " + ausgabe;
            return;
        }
    fs::copy_file(ordner_ / "nutzer.pub", ordner_ / "erlaubt");
    port_ = FreierPort();
    std::ofstream(ordner_ / "sshd_config")
        << "ListenAddress 127.0.0.1\nPort " << port_ << "\nHostKey " << (ordner_ / "wirt").string()
        << "\nAuthorizedKeysFile " << (ordner_ / "erlaubt").string()
        << "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
           "PermitRootLogin prohibit-password\nUsePAM no\nStrictModes no\n"
           "PidFile none\nSubsystem sftp internal-sftp\n";
    server_ = Starte(
        {"/usr/sbin/sshd", "-D", "-f", (ordner_ / "sshd_config").string(), "-E", (ordner_ / "sshd.log").string()},
        ordner_ / "sshd.aus");
    if (server_ < 0 || !WarteAufPort("127.0.0.1", port_)) {
        grund_ = "sshd startet nicht: " + LiesDatei(ordner_ / "sshd.log");
        return;
    }
    bereit_ = true;
}

SshServer::~SshServer() {
    Stoppe();
}

bool SshServer::Einhaengen(const fs::path& punkt) {
    fs::create_directories(punkt);
    std::string ausgabe;
    // No reconnect: a dropped connection stays dropped until the test mounts again.
    const std::string optionen = "IdentityFile=" + (ordner_ / "nutzer").string() +
                                 ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes";
    if (Fuehre({"sshfs", "-p", std::to_string(port_), "-o", optionen, "root@127.0.0.1:" + freigabe_.string(),
                punkt.string()},
               &ausgabe) != 0) {
        grund_ = "sshfs: " + ausgabe;
        return false;
    }
    punkte_.push_back(punkt);
    return true;
}

SmbServer::SmbServer(const fs::path& ordner, fs::path freigabe) : ordner_(ordner), freigabe_(std::move(freigabe)) {
    if (!Grundbedingungen(grund_, {"/usr/sbin/smbd", "/usr/bin/smbnetfs"}))
        return;
    // The client reaches only port 445: each server takes a loopback address of its own instead of a port.
    const auto pid = static_cast<unsigned>(::getpid());
    adresse_ = "127." + std::to_string(1 + (pid >> 16) % 250) + "." + std::to_string((pid >> 8) & 0xff) + "." +
               std::to_string(2 + pid % 250);
    for (const char* unter : {"privat", "sperren", "zustand", "zwischen", "pid", "heim/.smb"})
        fs::create_directories(ordner_ / unter);
    const std::string o = ordner_.string();
    std::ofstream(ordner_ / "smb.conf")
        << "[global]\n  smb ports = 445\n  interfaces = " << adresse_
        << "/8\n  bind interfaces only = yes\n  private dir = " << o << "/privat\n  lock directory = " << o
        << "/sperren\n  state directory = " << o << "/zustand\n  cache directory = " << o
        << "/zwischen\n  pid directory = " << o << "/pid\n  log file = " << o
        << "/smbd.log\n  disable netbios = yes\n  server role = standalone server\n  map to guest = Bad User\n"
           "  guest account = root\n  load printers = no\n  printcap name = /dev/null\n  disable spoolss = yes\n"
           "  server min protocol = SMB2\n[ziel]\n  path = "
        << freigabe_.string() << "\n  read only = no\n  guest ok = yes\n  force user = root\n";
    std::ofstream(ordner_ / "heim" / ".smb" / "smb.conf") << "[global]\n  client min protocol = SMB2\n";
    const fs::path netzfs = ordner_ / "heim" / ".smb" / "smbnetfs.conf";
    std::ofstream(netzfs) << "smb_query_browsers \"false\"\nsmb_timeout 5000\nauth \"guest\" \"\"\nlog_file \"" << o
                          << "/smbnetfs.log\"\n";
    fs::permissions(netzfs, fs::perms::owner_read | fs::perms::owner_write);
    server_ = Starte({"/usr/sbin/smbd", "--foreground", "--no-process-group", "-s", (ordner_ / "smb.conf").string()},
                     ordner_ / "smbd.aus");
    if (server_ < 0 || !WarteAufPort(adresse_, 445)) {
        grund_ = "smbd startet nicht auf " + adresse_ + ":445: " + LiesDatei(ordner_ / "smbd.aus");
        return;
    }
    bereit_ = true;
}

SmbServer::~SmbServer() {
    Stoppe();
}

bool SmbServer::Einhaengen(const fs::path& punkt) {
    fs::create_directories(punkt);
    // smbnetfs and the SMB library read their configuration from the home folder: the server's own.
    std::vector<std::string> umgebung{"HOME=" + (ordner_ / "heim").string(), "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    std::vector<char*> zeiger;
    for (auto& u : umgebung)
        zeiger.push_back(u.data());
    zeiger.push_back(nullptr);
    const pid_t pid =
        Starte({"smbnetfs", punkt.string(), "-o", "config=" + (ordner_ / "heim" / ".smb" / "smbnetfs.conf").string()},
               ordner_ / "smbnetfs.aus", zeiger.data());
    int roh = 0;
    if (pid < 0 || ::waitpid(pid, &roh, 0) != pid || !WIFEXITED(roh) || WEXITSTATUS(roh) != 0) {
        grund_ = "smbnetfs: " + LiesDatei(ordner_ / "smbnetfs.aus");
        return false;
    }
    punkte_.push_back(punkt);
    // The share answers once the client has reached the server.
    for (int versuch = 0; versuch < 200; ++versuch) {
        std::error_code f;
        if (fs::is_directory(Freigabe(punkt), f))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    grund_ = "die Freigabe erscheint nicht: " + LiesDatei(ordner_ / "smbnetfs.log");
    return false;
}

} // namespace tresor::test

// The run's private folders, created exclusively, and what an interruption
// does with them: they are removed whole before the process ends as the
// signal would have ended it.
#include "plateforme.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

// A name nobody can have made yet: a suffix from the clock and a counter,
// another on a clash.
static bool cree_dossier(const std::string& dossier, const std::string& souche, std::string& chemin)
{
    static unsigned compteur;
    std::string debut = dossier + "." + souche + ".tavelkorn-tmp-";
    for (int essai = 0; essai < 100; essai++) {
        unsigned long long n = (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count();
        char suffixe[7];
        static const char lettres[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int k = 0; k < 6; k++, n /= 36) suffixe[k] = lettres[(n + compteur * 7 + (unsigned)essai * 13) % 36];
        suffixe[6] = 0;
        compteur++;
        chemin = debut + suffixe;
#ifdef _WIN32
        if (CreateDirectoryA(chemin.c_str(), nullptr)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
            return false;
        }
#else
        if (mkdir(chemin.c_str(), 0700) == 0) return true;  // mkdir never follows a link at its name
        if (errno != EEXIST) return false;
#endif
    }
    errno = EEXIST;
    return false;
}

// The private folders of the run, and what an interruption does with them.
// On POSIX systems the signals are blocked in every thread (threads inherit
// the mask of the main thread, which blocks them before any other exists)
// and one thread waits for them: it takes the lock under which folders are
// created and registered, so no folder can exist unregistered when it looks,
// removes them, and ends the process as the signal would have. This list is
// the one part of a run the process keeps for itself: the interruption has
// no run to ask which folders are its own.
static std::mutex verrou_dossiers;
static std::vector<DossierInscrit> dossiers;

// Removes a folder whose files another thread may still be creating: again
// until it is gone (the run creates a handful of files at most).
static void supprime_a_fond(const std::string& chemin)
{
    for (int essai = 0; essai < 100; essai++) {
        std::error_code ec;
        std::filesystem::remove_all(chemin, ec);
        if (!std::filesystem::exists(std::filesystem::symlink_status(chemin, ec))) return;
    }
}

static void efface_tout()
{
    for (const DossierInscrit& d : dossiers) supprime_a_fond(d.chemin);
    dossiers.clear();
}

#ifdef _WIN32
static BOOL WINAPI interruption(DWORD)
{
    std::lock_guard<std::mutex> l(verrou_dossiers);
    _fcloseall();  // Windows removes no open file; the process ends here anyway
    efface_tout();
    ExitProcess(1);
    return TRUE;
}

void installe_interruptions() { SetConsoleCtrlHandler(interruption, TRUE); }
#else
static void* attend_signal(void* p)
{
    const sigset_t* attendus = (const sigset_t*)p;
    int sig = 0;
    while (sigwait(attendus, &sig) != 0) {
    }
    verrou_dossiers.lock();  // kept: no folder is created after this
    efface_tout();
    signal(sig, SIG_DFL);  // and end as the signal would have
    sigset_t seul;
    sigemptyset(&seul);
    sigaddset(&seul, sig);
    pthread_sigmask(SIG_UNBLOCK, &seul, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void installe_interruptions()
{
    static bool fait = false;  // once a process (a fuzz target calls main many times)
    if (fait) return;
    fait = true;
    // A closed standard stream (a daemon's, a scheduler's) is /dev/null, so
    // that no file the run opens takes its number and receives messages.
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int n = open("/dev/null", O_RDWR);
            if (n >= 0 && n != fd) dup2(n, fd), close(n);
        }
    signal(SIGXFSZ, SIG_IGN);
    // A reader that went away (2>&1 | head) makes writes to it fail with
    // EPIPE instead of killing the run half way.
    signal(SIGPIPE, SIG_IGN);
    sigset_t attendus;
    sigemptyset(&attendus);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction avant;
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (sigaction(sig, nullptr, &avant) == 0 && avant.sa_handler == SIG_IGN) continue;
        sigaddset(&attendus, sig);
    }
    if (pthread_sigmask(SIG_BLOCK, &attendus, nullptr) != 0) return;
    static sigset_t ensemble;
    ensemble = attendus;
    // A small stack: the thread only waits, and an address-space limit
    // (ulimit -v) is for the computation's buffers.
    pthread_attr_t attributs;
    pthread_attr_init(&attributs);
    pthread_attr_setstacksize(&attributs, 1 << 16);
    pthread_attr_setdetachstate(&attributs, PTHREAD_CREATE_DETACHED);
    pthread_t fil;
    pthread_create(&fil, &attributs, attend_signal, &ensemble);
    pthread_attr_destroy(&attributs);
}
#endif

bool cree_dossier_prive(const std::string& dossier, const std::string& souche, std::string& chemin)
{
    std::lock_guard<std::mutex> l(verrou_dossiers);
    if (!cree_dossier(dossier, souche, chemin)) return false;
    dossiers.push_back({dossier, chemin});
    return true;
}

std::vector<DossierInscrit> dossiers_inscrits()
{
    std::lock_guard<std::mutex> l(verrou_dossiers);
    return dossiers;
}

void oublie_dossier(const std::string& chemin)
{
    std::lock_guard<std::mutex> l(verrou_dossiers);
    for (size_t k = 0; k < dossiers.size(); k++)
        if (dossiers[k].chemin == chemin) {
            dossiers.erase(dossiers.begin() + (long)k);
            return;
        }
}

void supprime_dossier(const std::string& chemin)
{
    std::error_code ec;
    std::filesystem::remove_all(chemin, ec);
}


#include "equipe.h"

#include "../run/echec.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace equipe {

static std::mutex verrou;
static std::condition_variable depart, arrivee;
static std::function<void(int)> tache;
static unsigned generation;
static int restants, actifs;  // threads still on the task; threads the task needs
static bool fin, en_echec;
static std::vector<std::thread> fils;

static void travaille(int t)
{
    unsigned vue = 0;
    for (;;) {
        std::function<void(int)> f;
        {
            std::unique_lock<std::mutex> l(verrou);
            depart.wait(l, [&] { return fin || generation != vue; });
            if (fin) return;
            vue = generation;
            f = tache;
        }
        bool rate = false;
        if (t < actifs) {
            try {
                f(t);
            } catch (const Echec&) {  // its message is out; the caller stops the run
                rate = true;
            }
        }
        std::lock_guard<std::mutex> l(verrou);
        en_echec |= rate;
        if (--restants == 0) arrivee.notify_one();
    }
}

void lance(int n, const std::function<void(int)>& f)
{
    if (n == 1) {
        f(0);
        return;
    }
    for (int t = (int)fils.size(); t < n; t++) fils.emplace_back(travaille, t);
    std::lock_guard<std::mutex> l(verrou);
    tache = f;
    actifs = n;
    restants = (int)fils.size();
    generation++;
    depart.notify_all();
}

static void attend_la_tache()
{
    std::unique_lock<std::mutex> l(verrou);
    arrivee.wait(l, [] { return restants == 0; });
}

void attend()
{
    attend_la_tache();
    if (en_echec) {
        en_echec = false;
        throw Echec{1};
    }
}

void arrete()
{
    attend_la_tache();
    {
        std::lock_guard<std::mutex> l(verrou);
        fin = true;
        en_echec = false;
        depart.notify_all();
    }
    for (std::thread& t : fils) t.join();
    fils.clear();
    fin = false;
}

}  // namespace equipe

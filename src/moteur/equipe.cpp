#include "equipe.h"

namespace tavelkorn {

static void travaille(Equipe* e, int t)
{
    unsigned vue = 0;
    for (;;) {
        std::function<void(int)> f;
        {
            std::unique_lock<std::mutex> l(e->verrou);
            e->depart.wait(l, [&] { return e->fin || e->generation != vue; });
            if (e->fin) return;
            vue = e->generation;
            f = e->tache;
        }
        if (t < e->actifs) f(t);
        std::lock_guard<std::mutex> l(e->verrou);
        if (--e->restants == 0) e->arrivee.notify_one();
    }
}

void equipe_lance(Equipe& e, int n, const std::function<void(int)>& f)
{
    if (n == 1) {
        f(0);
        return;
    }
    for (int t = (int)e.fils.size(); t < n; t++) e.fils.emplace_back(travaille, &e, t);
    std::lock_guard<std::mutex> l(e.verrou);
    e.tache = f;
    e.actifs = n;
    e.restants = (int)e.fils.size();
    e.generation++;
    e.depart.notify_all();
}

void equipe_attend(Equipe& e)
{
    std::unique_lock<std::mutex> l(e.verrou);
    e.arrivee.wait(l, [&] { return e.restants == 0; });
}

void equipe_arrete(Equipe& e)
{
    equipe_attend(e);
    {
        std::lock_guard<std::mutex> l(e.verrou);
        e.fin = true;
        e.depart.notify_all();
    }
    for (std::thread& t : e.fils) t.join();
    e.fils.clear();
    e.fin = false;
}

}  // namespace tavelkorn

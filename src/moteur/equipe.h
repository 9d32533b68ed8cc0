// A team of threads that runs one task on all of them while the calling
// thread goes on, until it waits for them. With one thread the task runs at
// once on the calling thread. Each computation owns its team; a task never
// throws (a failure is recorded in the computation), and equipe_arrete
// waits for the task under way and joins the threads.
#ifndef EQUIPE_H
#define EQUIPE_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavelkorn {

struct Equipe {
    std::mutex verrou;
    std::condition_variable depart, arrivee;
    std::function<void(int)> tache;
    unsigned generation = 0;
    int restants = 0, actifs = 0;  // threads still on the task; threads the task needs
    bool fin = false;
    std::vector<std::thread> fils;
};

// Starts f(0) ... f(n - 1).
void equipe_lance(Equipe& e, int n, const std::function<void(int)>& f);
// Waits for the task started last.
void equipe_attend(Equipe& e);
void equipe_arrete(Equipe& e);

}  // namespace tavelkorn

#endif

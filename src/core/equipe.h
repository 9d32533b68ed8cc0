// A team of threads that runs one task on all of them while the calling
// thread goes on, until it waits for them. With one thread the task runs at
// once on the calling thread. A failure (Echec) in a thread is handed to the
// caller by attend; arrete waits for the task under way and joins the
// threads, on every way out of a run.
#ifndef EQUIPE_H
#define EQUIPE_H

#include <functional>

namespace equipe {
// Starts f(0) ... f(n - 1).
void lance(int n, const std::function<void(int)>& f);
// Waits for the task started last; throws its failure.
void attend();
void arrete();
}  // namespace equipe

#endif

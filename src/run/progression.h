// Progress as the program shows it, from the engine's progress callback:
// a one-line indicator on standard error, shown only on a terminal and only
// once a step has run for a second; or, with --progress, GDAL's ticks
// ("0...10...20 ... 100 - done.") whatever standard error is.
#ifndef PROGRESSION_H
#define PROGRESSION_H

#include <chrono>

struct Progression {
    bool silencieux = false;      // no indicator
    bool gdal = false;            // GDAL's ticks
    void (*annonce)() = nullptr;  // the dialogue's word as the reading starts
    int passe = 0, passes = 2;    // the step shown, of the engine's passes
    const char* etape = "";
    std::chrono::steady_clock::time_point debut, dernier;
    bool affiche = false;
    int marques = -1;  // ticks printed: 40 for the whole run, 20 a pass
};

// The engine's progress callback; contexte is a Progression. Never cancels.
bool progression(double fraction, int passe, int passes, void* contexte);

#endif
